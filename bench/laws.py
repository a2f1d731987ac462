"""What a user's own law costs: the snap point per cycle on the loop thread as an expression, as a
NativeEffect and as a C++ effect (timed call by call in the C++ bench program, with its C function
called directly for comparison), and the native loop at 1 kHz with a snap point and a viscous
box as expressions beside a main thread doing Python arithmetic."""

import sys
from pathlib import Path

from processes import CppContenders, StandInDevices

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

RATE_HZ = 1000.0
HELD_TARGET_PERCENT = 99.5
EXPRESSION_P99_TARGET_US = 2.0
NATIVE_OVERHEAD_TARGET_US = 0.5
SUPERVISOR_TARGET_US = 1.0
ROUTES = {"expression": "Expression", "native": "NativeEffect", "cpp": "C++ Effect",
          "c_function_direct": "its C function, called directly"}
SECONDS = (20.0, 1.0)  # full run, smoke
CYCLES = (1_000_000, 20_000)


def laws_beside_busy_python(haptics, orvex, port, seconds):
    import custom_laws
    from servo_vs_python_thread import busy_arithmetic, held_percent

    at = [0.0, 0.0, 0.0]
    snap = haptics.Expression(*custom_laws.SNAP, params={
        "px": at[0] + 0.005, "py": at[1], "pz": at[2], "k": custom_laws.K,
        "r": custom_laws.RADIUS}, state={"d": 0.0})
    box = haptics.Expression(*custom_laws.BOX, params={
        "cx": at[0], "cy": at[1], "cz": at[2], "h": custom_laws.BOX_HALF,
        "b": custom_laws.DAMPING})
    with haptics.ServoLoop(orvex.SerialStream(port), RATE_HZ) as loop:
        loop.add(snap)
        loop.add(box)
        busy_arithmetic(seconds, loop.feed)
    stats = loop.stats()
    figures = {key: stats[key] for key in ("cycles", "rate_hz", "missed", "late_p50_us",
                                           "late_p99_us", "non_finite")}
    figures["held_percent"] = held_percent(stats["cycles"], stats["missed"], stats["rate_hz"])
    return figures


def measure(programs, smoke):
    import OrvexHardwareAPI as orvex
    import OrvexHaptics as haptics

    seconds, cycles = SECONDS[smoke], CYCLES[smoke]
    devices = StandInDevices(programs, realtime=True)
    try:
        beside = (laws_beside_busy_python(haptics, orvex, devices.corvane_port, seconds)
                  if hasattr(haptics, "Expression") else None)
        # Started after the Python loop: its opening flush would swallow that loop's replies.
        cpp = CppContenders(programs, devices)
        try:
            costs = cpp.law_costs(cycles)
        finally:
            cpp.close()
    finally:
        devices.close()
    overhead = costs["native"]["p50_us"] - costs["c_function_direct"]["p50_us"]
    targets = {
        "expression_p99_at_most_2_us": bool(costs["expression"])
        and costs["expression"]["p99_us"] <= EXPRESSION_P99_TARGET_US,
        "native_overhead_at_most_0_5_us": overhead <= NATIVE_OVERHEAD_TARGET_US,
        "supervisor_at_most_1_us_a_cycle": costs["supervisor_mark"]["p99_us"]
        <= SUPERVISOR_TARGET_US,
        "zero_allocations_rendering_laws": costs["allocations"] == 0,
        "held_99_5_percent_with_laws_beside_busy_python": bool(beside)
        and beside["held_percent"] >= HELD_TARGET_PERCENT,
    }
    return {"seconds": seconds, "stand_ins_realtime": devices.realtime, "costs": costs,
            "native_overhead_p50_us": overhead, "beside_busy_python": beside,
            "targets": targets}


def table(laws):
    costs = laws["costs"]
    rows = [f"a user's law per cycle on the loop thread (snap point, {costs['cycles']} calls each):",
            f"{'route':<36}{'p50 us':>10}{'p99 us':>10}"]
    for name, label in ROUTES.items():
        cost = costs[name]
        rows.append(f"{label:<36}" + (f"{cost['p50_us']:>10.3f}{cost['p99_us']:>10.3f}"
                                      if cost else f"{'-':>10}{'-':>10}"))
    rows.append(f"NativeEffect's overhead over the direct call (p50): "
                f"{laws['native_overhead_p50_us']:.3f} us; allocations while rendering: "
                f"{costs['allocations']}")
    mark = costs["supervisor_mark"]
    rows.append(f"the hung-effect supervisor's cost on the loop thread per cycle (with the "
                f"clock's own): p50 {mark['p50_us']:.3f} us, p99 {mark['p99_us']:.3f} us")
    beside = laws["beside_busy_python"]
    if beside:
        rows.append(f"snap point and viscous box as expressions at {RATE_HZ:.0f} Hz beside busy "
                    f"Python, {laws['seconds']:g} s: {beside['rate_hz']:.0f} Hz, "
                    f"{beside['held_percent']:.2f}% held, late p99 {beside['late_p99_us']:.0f} us")
    met = {True: "met", False: "MISSED"}
    rows.append("law targets: " + ", ".join(f"{name} {met[ok]}"
                                            for name, ok in laws["targets"].items()))
    return "\n".join(rows)


def problems(laws):
    """What makes the figures unusable: a route not measured, an allocation, a loop that did not
    run. Timing targets are reported, not checked here."""
    found = [f"laws: {name} not measured"
             for name in ("native", "cpp", "c_function_direct", "supervisor_mark")
             if not laws["costs"][name]]
    if laws["costs"]["allocations"] != 0:
        found.append("laws: rendering a law allocated")
    if laws["beside_busy_python"] is not None and laws["beside_busy_python"]["cycles"] == 0:
        found.append("laws: the loop with laws did not run")
    return found
