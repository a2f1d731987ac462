"""Records every cycle of the haptic wall for a minute while the main thread is busy, then
analyses the file by its column names: gaps in the cycle numbers, the cycles the watchdog held at
zero, and how deep the arm went into the wall.

    python3 record_wall.py PORT [SECONDS] [FILE]

Push the arm against the wall along x: you feel it stop you, firm and still. Without an arm, the
emulator's hand pushes: start `orvex-emulator --corvane --hand examples/hands/record_wall.csv`.

FILE (default wall.npy) ends in .npy or .csv. The loop renders the wall of haptic_wall.py; a
recorder thread of its own writes each cycle to FILE, so the main thread can search for primes
and, now and then, hold the interpreter lock for a whole second in one call without costing a
row. At the end the rows are read back by the names the recording's sidecar (FILE.json) gives
its columns. With numpy, OrvexHaptics.load(FILE) gives the same columns as a structured array.
"""

import ctypes
import sys
import time
from typing import Dict, List

import OrvexHardwareAPI as orvex
import OrvexHaptics as haptics
from haptic_wall import DAMPING, RATE_HZ, WALL_STIFFNESS, WALL_X, PrimeSearch

HOLD_EVERY_S = 10.0  # how often the main thread holds the lock for a second


def columns_by_name(path: str) -> Dict[str, List[float]]:
    """A recording's columns by the names its sidecar gives, without numpy: .npy through its
    header, .csv as text."""
    described = haptics.describe(path)
    assert described is not None  # a recording made here has its sidecar
    names = described["columns"]
    if path.endswith(".csv"):
        with open(path) as file:
            file.readline()  # the names again
            rows = [[float(value) for value in line.split(",")] for line in file]
    else:
        import ast
        import struct

        with open(path, "rb") as file:
            data = file.read()
        length = struct.unpack("<H", data[8:10])[0]
        count, width = ast.literal_eval(data[10:10 + length].decode())["shape"]
        values = struct.unpack("<%dd" % (count * width), data[10 + length:10 + length + 8 * count * width])
        rows = [list(values[i * width:(i + 1) * width]) for i in range(count)]
    return {name: [row[i] for row in rows] for i, name in enumerate(names)}


def main(port: str, seconds: float, path: str) -> None:
    loop = haptics.ServoLoop(orvex.SerialStream(port), RATE_HZ)
    loop.add(haptics.Wall(point=[WALL_X, 0.0, 0.0], normal=[-1.0, 0.0, 0.0],
                          stiffness=WALL_STIFFNESS))
    loop.add(haptics.Damper(coefficient=DAMPING))
    primes = PrimeSearch()
    hold_lock = ctypes.PyDLL(None).usleep  # a C call that does not let go of the lock
    loop.record(path)
    with loop:
        end = time.monotonic() + seconds
        next_hold = time.monotonic() + min(HOLD_EVERY_S, seconds / 2)
        while time.monotonic() < end and loop.running:
            loop.feed()
            primes.work_for(0.05)
            if time.monotonic() >= next_hold:
                # Meanwhile nobody feeds the watchdog, so the loop commands zero force: safe, and
                # recorded like every other cycle.
                hold_lock(1_000_000)
                next_hold += HOLD_EVERY_S
            stats = loop.stats()
            print("\r%6d cycles, %6d recorded, %d lost" % (stats["cycles"], stats["recorded"],
                                                            stats["record_lost"]), end="", flush=True)
    result = loop.stop_recording()
    assert result is not None  # it was recording
    recorded = columns_by_name(path)
    cycles = recorded["cycle"]
    gaps = sum(1 for a, b in zip(cycles, cycles[1:]) if b != a + 1)
    held = sum(recorded["watchdog"])
    deepest = max((x - WALL_X for x in recorded["x"]), default=0.0)
    print("\n%s: %d cycles held at zero by the watchdog, deepest %.1f mm into the wall"
          % (path, held, max(deepest, 0.0) * 1000))
    print("%s: %d rows, %d lost, %d gaps in the cycle numbers; main thread found %d primes"
          % (path, result["rows"], result["lost"], gaps, primes.found))


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 60.0,
         sys.argv[3] if len(sys.argv) > 3 else "wall.npy")
