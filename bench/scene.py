"""The scene's figures: its cost per cycle on the loop thread (p50/p99 and heap allocations) for
ten primitives, a 100,000-triangle mesh held pressed and the proxy sliding across that mesh at
0.2 m/s, and the mesh hierarchy's build time, all from the C++ program orvex_bench_scene; then
the native loop at 1 kHz rendering the mesh scene on a stand-in Corvane beside a main thread
doing Python arithmetic."""

import json
import math
import os
import subprocess
import sys
import time
from pathlib import Path

from processes import StandInDevices

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

RATE_HZ = 1000.0
TARGETS_US = {"ten_primitives": 5.0, "mesh_pressed": 20.0, "mesh_sliding": 20.0}
HELD_TARGET_PERCENT = 99.5
LABELS = {"ten_primitives": "10 primitives", "mesh_pressed": "100k-triangle mesh, pressed",
          "mesh_sliding": "100k-triangle mesh, sliding 0.2 m/s"}
BESIDE_BUSY_PYTHON_S = (10.0, 1.0)  # full run, smoke


def loop_with_mesh_beside_busy_python(port, seconds):
    import OrvexHardwareAPI as orvex
    import OrvexHaptics as haptics
    import feel_shapes
    import servo_vs_python_thread as comparison

    scene = haptics.Scene()
    vertices, triangles = feel_shapes.torus(0.05, 0.02, 500, 100)
    scene.add(haptics.Mesh(vertices, triangles, position=(0.0, 0.0, -0.08)))
    with haptics.ServoLoop(orvex.SerialStream(port), RATE_HZ) as loop:
        loop.add(scene)
        comparison.busy_arithmetic(seconds, loop.feed)
    stats = loop.stats()
    return {"triangles": len(triangles), "cycles": stats["cycles"], "rate_hz": stats["rate_hz"],
            "missed": stats["missed"], "late_p99_us": stats["late_p99_us"],
            "held_percent": comparison.held_percent(stats["cycles"], stats["missed"],
                                                    stats["rate_hz"])}


def measure(programs, smoke):
    command = [str(programs / "orvex_bench_scene")] + (["--smoke"] if smoke else [])
    cost = json.loads(subprocess.run(command, capture_output=True, text=True, check=True,
                                     timeout=600).stdout)
    devices = StandInDevices(programs, realtime=True)
    try:
        beside = loop_with_mesh_beside_busy_python(devices.corvane_port,
                                                   BESIDE_BUSY_PYTHON_S[1 if smoke else 0])
    finally:
        devices.close()
    targets = {f"{name}_p99_under_{limit:g}_us": cost[name]["p99_us"] <= limit
               for name, limit in TARGETS_US.items()}
    targets["zero_allocations_per_cycle"] = all(cost[name]["allocations"] == 0
                                                for name in TARGETS_US)
    targets["mesh_loop_held_at_least_99_5_percent"] = beside["held_percent"] >= HELD_TARGET_PERCENT
    return {"cost": cost, "beside_busy_python": beside, "load_average_1min": os.getloadavg()[0],
            "targets": targets}


def table(scene):
    cost = scene["cost"]
    rows = [f"scene cost per cycle on the loop thread ({cost['ten_primitives']['cycles']} cycles"
            " each):",
            f"{'scene':<40}{'p50 us':>9}{'p99 us':>9}{'allocations':>13}{'in contact %':>14}"]
    for name, label in LABELS.items():
        f = cost[name]
        rows.append(f"{label:<40}{f['p50_us']:>9.2f}{f['p99_us']:>9.2f}{f['allocations']:>13}"
                    f"{f['touching_percent']:>14.1f}")
    rows.append(f"building the {cost['triangles']}-triangle mesh's hierarchy: "
                f"{cost['build_ms']:.0f} ms (median, on the caller's thread)")
    b = scene["beside_busy_python"]
    rows.append(f"native loop with the mesh scene beside busy Python: {b['rate_hz']:.0f} Hz, "
                f"{b['held_percent']:.2f}% of deadlines held, late p99 {b['late_p99_us']:.0f} us"
                f" (load {scene['load_average_1min']:.2f})")
    met = {True: "met", False: "MISSED"}
    rows.append("scene targets: " + ", ".join(f"{name} {met[ok]}"
                                              for name, ok in scene["targets"].items()))
    return "\n".join(rows)


def problems(scene):
    """A scene run that did not happen, or a loop thread that allocated."""
    found = []
    for name in TARGETS_US:
        figures = scene["cost"][name]
        if not all(math.isfinite(v) for v in figures.values()):
            found.append(f"scene {name}: a figure is missing")
        if figures["allocations"]:
            found.append(f"scene {name}: the scene allocated on the loop thread")
    if scene["beside_busy_python"]["cycles"] <= 0:
        found.append("scene: the loop with the mesh did not run")
    return found
