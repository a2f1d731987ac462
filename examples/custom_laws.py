"""Force laws of one's own, rendered by the native loop at 1 kHz without the interpreter lock.

    python3 custom_laws.py PORT [SECONDS]

First a magnetic snap point (a pull towards a point that grows as the hand comes near, then fades
to nothing at the point, and is absent beyond 1 cm) and a viscous box (damping only inside it),
written as expressions, while the main thread does Python arithmetic for SECONDS (default 3);
the loop's figures are printed. Then the same snap point as a C function: compiled from
snap_point.c with the system's C compiler and loaded with ctypes, and, where numba is installed,
compiled by numba.cfunc.
"""

import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, List, Optional

import OrvexHardwareAPI as orvex
import OrvexHaptics as haptics
from servo_vs_python_thread import Figures, busy_arithmetic, summary

HERE = Path(__file__).resolve().parent
# orvex_effect.h: installed with the C++ package, or in the source tree beside the examples.
HEADER_DIRS = [os.environ.get("ORVEX_INCLUDE", ""), str(HERE.parent / "Library/include/Haptics")]

K, RADIUS = 300.0, 0.01      # N/m, m: the snap point
BOX_HALF, DAMPING = 0.02, 4.0  # m, N s/m: the viscous box, centred on the start position

# d is a state variable: fx computes it, and fy and fz, evaluated after fx, use it.
SNAP = ("d = sqrt((x-px)^2 + (y-py)^2 + (z-pz)^2), d < r ? -k*(x-px)*(1 - d/r) : 0",
        "d < r ? -k*(y-py)*(1 - d/r) : 0",
        "d < r ? -k*(z-pz)*(1 - d/r) : 0")
INSIDE = "abs(x-cx) < h && abs(y-cy) < h && abs(z-cz) < h"
BOX = tuple(f"{INSIDE} ? -b*{v} : 0" for v in ("vx", "vy", "vz"))


def start_position(stream: orvex.SerialStream) -> List[float]:
    """Where the arm is: one cycle of a loop without force."""
    with haptics.ServoLoop(stream, watchdog_s=0) as loop:
        while (state := loop.state()) is None or state["cycle"] < 2:
            time.sleep(0.01)
        return list(state["position"])


def expressions_beside_busy_python(stream: orvex.SerialStream, seconds: float,
                                   at: List[float]) -> None:
    point = [at[0] + 0.005, at[1], at[2]]  # 5 mm off: inside the snap radius, so it pulls
    snap = haptics.Expression(*SNAP, params={"px": point[0], "py": point[1], "pz": point[2],
                                             "k": K, "r": RADIUS}, state={"d": 0.0})
    box = haptics.Expression(*BOX, params={"cx": at[0], "cy": at[1], "cz": at[2],
                                           "h": BOX_HALF, "b": DAMPING})
    with haptics.ServoLoop(stream) as loop:
        loop.add(snap)
        loop.add(box)
        busy_arithmetic(seconds / 2, loop.feed)
        snap.params["k"] = 2 * K  # live: taken whole at the next cycle
        busy_arithmetic(seconds / 2, loop.feed)
        state = loop.state()
    print(summary("snap point and viscous box", figures(loop)))
    assert state is not None
    print("  last cycle: position %s m, force %s N; distance to the snap point %.4f m"
          % (rounded(state["position"]), rounded(state["force"]), snap.state["d"]))


def figures(loop: haptics.ServoLoop) -> Figures:
    stats = loop.stats()
    return {key: stats[key] for key in ("cycles", "rate_hz", "missed", "late_p50_us",  # type: ignore
                                        "late_p99_us", "exchange_p50_us", "exchange_p99_us")}


def rounded(vector: List[float]) -> str:
    return "[" + ", ".join("%.4f" % v for v in vector) + "]"


def compiled_snap_point(work: str) -> Optional[Any]:
    """snap_point.c as a shared library, through the system's C compiler; None without one."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return None
    library = os.path.join(work, "snap_point.so")
    include = [arg for d in HEADER_DIRS if d for arg in ("-I", d)]
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", *include, "-o", library,
                    str(HERE / "snap_point.c"), "-lm"], check=True)
    return ctypes.CDLL(library).snap_point


def numba_snap_point() -> Optional[Any]:
    """The same law compiled by numba.cfunc; None where numba is not installed."""
    try:
        import numba  # type: ignore
        from numba import types
    except ImportError:
        return None
    pointer = types.CPointer(types.float64)

    # The input record read as its first eight doubles: position, velocity, t, dt.
    @numba.cfunc(types.void(pointer, pointer, pointer, pointer), nopython=True)
    def snap_point(inputs, parameters, state, force):  # type: ignore
        cycle = numba.carray(inputs, 8)
        p = numba.carray(parameters, 5)
        out = numba.carray(force, 3)
        dx, dy, dz = cycle[0] - p[0], cycle[1] - p[1], cycle[2] - p[2]
        d = (dx * dx + dy * dy + dz * dz) ** 0.5
        if d < p[4]:
            gain = -p[3] * (1.0 - d / p[4])
            out[0], out[1], out[2] = gain * dx, gain * dy, gain * dz

    return snap_point


def run_native(stream: orvex.SerialStream, name: str, function: Any, at: List[float],
               seconds: float) -> None:
    law = haptics.NativeEffect(function, [at[0] + 0.005, at[1], at[2], K, RADIUS])
    with haptics.ServoLoop(stream) as loop:
        loop.add(law)
        busy_arithmetic(seconds, loop.feed)
    print(summary(name, figures(loop)))


def main(port: str, seconds: float) -> None:
    stream = orvex.SerialStream(port)
    at = start_position(stream)
    print("1 kHz beside a main thread doing Python arithmetic, %.1f s each:" % seconds)
    expressions_beside_busy_python(stream, seconds, at)
    with tempfile.TemporaryDirectory() as work:
        function = compiled_snap_point(work)
        if function is None:
            print("C snap point: no C compiler (cc), skipped")
        else:
            run_native(stream, "snap point in C (ctypes)", function, at, seconds)
    cfunc = numba_snap_point()
    if cfunc is None:
        print("numba snap point: numba is not installed for this Python, skipped")
    else:
        run_native(stream, "snap point in numba.cfunc", cfunc, at, seconds)


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 3.0)
