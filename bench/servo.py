"""The servo loop's figures: the native loop at 1 kHz beside a main thread doing Python arithmetic,
in the normal scheduling class and again asking for a real-time one, against the same loop written
as a Python thread (the one examples/servo_vs_python_thread.py shows); then 1, 2 and 4 native loops on as many stand-in Corvanes at once; and the loop thread's
heap allocations per cycle, counted in the C++ bench program."""

import math
import os
import sys
import time
from pathlib import Path

from processes import CppContenders, StandInDevices

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

RATE_HZ = 1000.0
LOOP_COUNTS = (1, 2, 4)
# Targets on a 2-core machine: the native loop beside busy Python, and each of several loops.
HELD_TARGET_PERCENT = 99.5
LATE_P99_TARGET_US = 150.0
HELD_TARGET_SEVERAL_PERCENT = 99.0
BESIDE_BUSY_PYTHON_LABELS = {
    "native": "native servo loop",
    "native_realtime": "native, realtime=True",
    "python_thread": "Python thread",
}
DURATIONS_S = {  # full run, smoke
    "beside_busy_python": (20.0, 1.0),
    "several_loops": (10.0, 0.3),
    "allocations": (5.0, 0.5),
}


def cpu_times():
    """The machine's CPU time so far, all and stolen (by the hypervisor of a virtual machine), in
    clock ticks; zeros where the system does not tell."""
    try:
        with open("/proc/stat") as stat:
            fields = [int(value) for value in stat.readline().split()[1:]]
    except (OSError, ValueError):
        return 0, 0
    steal = fields[7] if len(fields) > 7 else 0
    return sum(fields[:8]), steal


def held_percent(figures):
    import servo_vs_python_thread as comparison

    return comparison.held_percent(figures["cycles"], figures["missed"], figures["rate_hz"])


def beside_busy_python(stream, seconds):
    import servo_vs_python_thread as comparison

    results = {"native": comparison.native_loop_beside_busy_python(stream, seconds,
                                                                   realtime=False),
               "native_realtime": comparison.native_loop_beside_busy_python(stream, seconds,
                                                                            realtime=True),
               "python_thread": comparison.python_thread_beside_busy_python(stream, seconds)}
    for figures in results.values():
        figures["held_percent"] = held_percent(figures)
    return results


def several_loops(orvex, haptics, ports, seconds):
    """The loops run together while the main thread waits; each loop's figures."""
    loops = [haptics.ServoLoop(orvex.SerialStream(port), RATE_HZ, watchdog_s=0) for port in ports]
    for loop in loops:
        loop.start()
    time.sleep(seconds)
    for loop in loops:
        loop.stop()
    figures = []
    for loop in loops:
        stats = loop.stats()
        loop_figures = {key: stats[key] for key in ("cycles", "rate_hz", "missed", "late_p99_us")}
        loop_figures["held_percent"] = held_percent(loop_figures)
        figures.append(loop_figures)
    return figures


def measure(programs, smoke):
    import OrvexHardwareAPI as orvex
    import OrvexHaptics as haptics

    seconds = {name: pair[1 if smoke else 0] for name, pair in DURATIONS_S.items()}
    # The stand-ins answer in a real-time class where granted, as a device's own processor would:
    # then a loaded host delays the loop, not the device it waits for.
    devices = StandInDevices(programs, corvanes=max(LOOP_COUNTS), realtime=True)
    total_before, stolen_before = cpu_times()
    try:
        busy = beside_busy_python(orvex.SerialStream(devices.corvane_port),
                                  seconds["beside_busy_python"])
        several = {str(n): several_loops(orvex, haptics, devices.corvane_ports[:n],
                                         seconds["several_loops"]) for n in LOOP_COUNTS}
        # Started only once the Python loops are done: opening a port drops the input waiting
        # on it, and the C++ program opens the same stand-in port, so it would swallow replies.
        cpp = CppContenders(programs, devices)
        try:
            allocations = cpp.servo_allocations(seconds["allocations"])
        finally:
            cpp.close()
    finally:
        devices.close()
    total_after, stolen_after = cpu_times()
    total = total_after - total_before
    stolen_percent = 100.0 * (stolen_after - stolen_before) / total if total else 0.0
    if allocations:
        allocations["per_cycle"] = allocations["allocations"] / max(1, allocations["cycles"])
    native = busy["native"]
    targets = {
        "native_held_at_least_99_5_percent": native["held_percent"] >= HELD_TARGET_PERCENT,
        "native_late_p99_under_150_us": native["late_p99_us"] < LATE_P99_TARGET_US,
        "several_loops_each_held_99_percent": all(
            loop["held_percent"] >= HELD_TARGET_SEVERAL_PERCENT
            for loops in several.values() for loop in loops),
        "zero_allocations_per_cycle": bool(allocations) and allocations["allocations"] == 0,
    }
    return {"rate_hz": RATE_HZ, "seconds": seconds, "stand_ins_realtime": devices.realtime,
            "cpu_stolen_percent": stolen_percent, "load_average_1min": os.getloadavg()[0],
            "beside_busy_python": busy,
            "several_loops": several, "allocations": allocations, "targets": targets}


def table(servo):
    busy = servo["beside_busy_python"]
    rows = [f"servo loop at {servo['rate_hz']:.0f} Hz beside a main thread doing Python arithmetic,"
            f" {servo['seconds']['beside_busy_python']:g} s each (stand-ins in a real-time class:"
            f" {'yes' if servo['stand_ins_realtime'] else 'no'}):",
            f"{'loop':<30}{'rate Hz':>9}{'held %':>9}{'late p50':>10}{'late p99':>10}"
            f"{'exch p50':>10}{'exch p99':>10}{'cpu us/cycle':>14}"]
    for name, label in BESIDE_BUSY_PYTHON_LABELS.items():
        f = busy[name]
        if name == "native_realtime" and not f["realtime"]:
            label += " (refused)"
        rows.append(f"{label:<30}{f['rate_hz']:>9.0f}{f['held_percent']:>9.2f}"
                    f"{f['late_p50_us']:>10.0f}{f['late_p99_us']:>10.0f}"
                    f"{f['exchange_p50_us']:>10.0f}{f['exchange_p99_us']:>10.0f}"
                    f"{f['cpu_us_per_cycle']:>14.1f}")
    rows.append(f"several native loops at once, {servo['seconds']['several_loops']:g} s:")
    for n, loops in servo["several_loops"].items():
        shown = ", ".join(f"{loop['held_percent']:.2f}% held (p99 late {loop['late_p99_us']:.0f} us)"
                          for loop in loops)
        rows.append(f"  {n} loop{'s' if n != '1' else ' '}: {shown}")
    allocations = servo["allocations"]
    if allocations:
        rows.append(f"loop thread allocations: {allocations['allocations']} in "
                    f"{allocations['cycles']} cycles ({allocations['per_cycle']:g} per cycle); "
                    f"{allocations['whole_run_allocations']} from start to stop")
    rows.append(f"machine during the servo runs: {servo['cpu_stolen_percent']:.1f}% of CPU time "
                f"stolen by a hypervisor, load {servo['load_average_1min']:.2f}")
    met = {True: "met", False: "MISSED"}
    rows.append("servo targets: " + ", ".join(f"{name} {met[ok]}"
                                              for name, ok in servo["targets"].items()))
    return "\n".join(rows)


def problems(servo):
    """What makes the servo figures unusable: a missing figure, a loop that did not run, or an
    allocation on the loop thread. Timing targets are reported, not checked here."""
    found = []
    busy = servo["beside_busy_python"]
    for name in BESIDE_BUSY_PYTHON_LABELS:
        for key, value in busy[name].items():
            if not math.isfinite(value):
                found.append(f"servo {name}: {key} missing")
    for n, loops in servo["several_loops"].items():
        if len(loops) != int(n) or not all(loop["cycles"] > 0 for loop in loops):
            found.append(f"servo: not all of {n} loops ran")
    if not servo["allocations"]:
        found.append("servo: the allocation count's loop did not start")
    elif servo["allocations"]["allocations"] != 0:
        found.append("servo: the loop thread allocated while running")
    return found
