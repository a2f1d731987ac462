"""The couplings' figures, on the emulated Corvane (a 0.5 kg mass with 4 N s/m of friction):
- a target going round at 0.1 m/s updated at 60 Hz, felt through a Coupling (hold="linear" and
  hold="interpolate") and through a Spring whose anchor jumps at each update: the largest force
  change between two cycles, and how far the arm is from the target;
- the stick-slip box of examples/push_the_box.py, simulated at 60 Hz and pushed by the emulator's
  hand, held through each of the coupling's holds, then its path played again through a Spring
  whose anchor jumps to the box at each step: the force step's p99 and largest;
- two arms coupled by Bilateral at 1500 N/m, one pushed by 2 N, beside a busy Python main thread:
  the tracking error and the force step's p99;
- a coupling to a still target at three times the stiffness at which the arm starts to oscillate
  at 1 kHz: the oscillation's amplitude after 1 s, without and with passivity=True;
- the same two runs driven by the emulator's hand, whose force moves the arm and never reaches the
  line: the two arms with arm a pushed by the hand's 2 N (without and with passivity=True), and
  the still target with a relaxed hand holding the arm.

    coupling.py --build DIR [--smoke]
"""

import argparse
import json
import math
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

RATE_HZ = 1000.0
TRACE = 20000
STEP_TARGET_N = 0.1
TRACKING_TARGET_MM = 1.0
FORCE_STEP_P99_TARGET_N = 0.3
SETTLED_TARGET_MM = 0.1
# x, and fx: the trace's columns the figures use.
X, FX = 1, 7
# The operator's hands: 2 N back and forth a quarter second each way, as the teleoperation example
# has it; and a relaxed grip holding the arm where it rests.
PUSHING_HAND = Path(__file__).resolve().parents[1] / "examples" / "hands" / "teleoperation.csv"
HOLDING_HAND = "time,x,y,z\n0,0,0,0\n"
EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
BOX_HAND = EXAMPLES / "hands" / "push_the_box.csv"
BOX_STEP_P99_TARGET_N = 0.2


class Emulator:
    def __init__(self, build, corvanes, hand=None):
        """hand: a script for the first arm's hand; none holds the arms."""
        program = build / "tools" / "emulator" / "orvex-emulator"
        first = ["--corvane"] + (["--hand", str(hand), "--hand-loop"] if hand else [])
        self.process = subprocess.Popen([str(program)] + first + ["--corvane"] * (corvanes - 1),
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        self.ports = [self.process.stdout.readline().split()[1] for _ in range(corvanes)]

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


def rows_of(trace):
    """The trace's rows as lists of floats."""
    return memoryview(trace).tolist() if len(trace) else []


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else math.nan


def force_steps(rows):
    return [math.dist(a[FX:FX + 3], b[FX:FX + 3]) for a, b in zip(rows, rows[1:])]


def on_circle(start, t, speed=0.1, radius=0.02):
    """A point going round a circle through start at `speed`: its position and velocity at t."""
    angle = speed / radius * t
    return ([start[0] + radius * math.sin(angle), start[1] + radius * (1 - math.cos(angle)),
             start[2]],
            [speed * math.cos(angle), speed * math.sin(angle), 0.0])


def moving_target(orvex, haptics, port, seconds, moved_anchor, hold="linear"):
    """The largest force step while a target moving at 0.1 m/s is updated at 60 Hz, and the arm
    follows it; and how far the arm is from the target just before each update."""
    loop = haptics.ServoLoop(orvex.SerialStream(port), RATE_HZ, watchdog_s=0,
                             trace_capacity=TRACE)
    loop.start()
    while loop.state() is None:
        time.sleep(0.001)
    start = loop.state()["position"]
    if moved_anchor:
        effect = haptics.Spring(anchor=start, stiffness=500.0)
    else:
        effect = haptics.Coupling(500.0, hold=hold)
        effect.update(start, [0.0, 0.0, 0.0])
    loop.add(effect)
    time.sleep(0.3)  # the arm settles on the still target first
    began = loop.state()["time"]
    t0 = time.monotonic()
    errors = []
    while time.monotonic() - t0 < seconds:
        elapsed = time.monotonic() - t0
        target = [start[0] + 0.1 * elapsed, start[1], start[2]]
        if 0.2 < elapsed < 0.8:  # the arm then still moves within its workspace
            errors.append(abs(loop.state()["position"][0] - target[0]))
        if moved_anchor:
            effect.anchor = target
        else:
            effect.update(target, [0.1, 0.0, 0.0])
        time.sleep(1 / 60)
    loop.stop()
    rows = [row for row in rows_of(loop.trace()) if row[0] >= began + 0.1]
    steps = force_steps(rows)
    return {"max_step_n": max(steps), "p99_step_n": percentile(steps, 0.99), "cycles": len(rows),
            "missed": loop.stats()["missed"], "tracking_p99_mm": 1e3 * percentile(errors, 0.99)}


def stick_slip_box(orvex, haptics, port, seconds):
    """The example's box held through each of the coupling's holds, each followed by a Spring
    moved along the path the box took: the force steps' p99 and largest."""
    sys.path.insert(0, str(EXAMPLES))
    import push_the_box
    loop = haptics.ServoLoop(orvex.SerialStream(port), RATE_HZ, watchdog_s=0,
                             trace_capacity=TRACE)
    figures = {}
    with loop:
        for hold in ("interpolate", "linear", "zero"):
            run = push_the_box.push_the_box(loop, hold, seconds, show=False)
            spring = push_the_box.spring_along(loop, run.path)
            figures[hold] = {
                "p99_step_n": push_the_box.p99(run.steps), "max_step_n": max(run.steps),
                "spring_p99_step_n": push_the_box.p99(spring), "spring_max_step_n": max(spring)}
    figures["missed"] = loop.stats()["missed"]
    return figures


def busy_python(stop):
    total = 0
    while not stop.is_set():
        total = sum(i * i for i in range(1000)) + total % 7


def two_arms(orvex, haptics, ports, seconds, by_hand=False, passivity=False):
    """Arm b follows arm a, which a 2 N force pushes back and forth (a quarter second each way,
    which keeps both well inside the workspace): a's own force command, or the emulator's hand."""
    loops = [haptics.ServoLoop(orvex.SerialStream(port), RATE_HZ, watchdog_s=0,
                               trace_capacity=TRACE, passivity=passivity) for port in ports]
    coupling = haptics.Bilateral(loops[0], loops[1], 1500.0, damping=20.0)
    for loop, effect in zip(loops, coupling.effects):
        loop.add(effect)
        loop.start()
    stop = threading.Event()
    worker = threading.Thread(target=busy_python, args=(stop,))
    worker.start()
    t0 = time.monotonic()
    errors, xs = [], []
    while time.monotonic() - t0 < seconds:
        if not by_hand:
            phase = int((time.monotonic() - t0) / 0.25) % 2
            loops[0].force = [2.0 if phase == 0 else -2.0, 0.0, 0.0]
        a, b = loops[0].state(), loops[1].state()
        if a and b:
            errors.append(math.dist(a["position"], b["position"]))
            xs.append(a["position"][0])
        time.sleep(0.002)
    stop.set()
    worker.join()
    for loop in loops:
        loop.stop()
    steps = force_steps(rows_of(loops[0].trace())) + force_steps(rows_of(loops[1].trace()))
    return {"tracking_error_p99_mm": 1e3 * percentile(errors, 0.99),
            "tracking_error_max_mm": 1e3 * max(errors),
            "force_step_p99_n": percentile(steps, 0.99), "samples": len(errors),
            "travel_mm": 1e3 * (max(xs) - min(xs)) if xs else math.nan,
            "rates_hz": [loop.stats()["rate_hz"] for loop in loops]}


def amplitude_mm(rows, since, until):
    xs = [row[X] for row in rows if since <= row[0] < until]
    return 1e3 * (max(xs) - min(xs)) / 2 if xs else math.nan


def still_target(orvex, haptics, port, stiffness, passivity, offset=0.002, seconds=1.2):
    """The arm's motion about a still target `offset` away from where it rests at the start."""
    loop = haptics.ServoLoop(orvex.SerialStream(port), RATE_HZ, watchdog_s=0, max_force=10.0,
                             trace_capacity=TRACE, passivity=passivity)
    loop.start()
    while loop.state() is None:
        time.sleep(0.001)
    time.sleep(0.1)  # at rest
    position = loop.state()["position"]
    target = [position[0] + offset, position[1], position[2]]
    coupling = haptics.Coupling(stiffness)
    coupling.update(target, [0.0, 0.0, 0.0])
    loop.add(coupling)
    began = loop.state()["time"]
    time.sleep(seconds)
    loop.stop()
    rows = [row for row in rows_of(loop.trace()) if row[0] >= began]
    return {"amplitude_after_1s_mm": amplitude_mm(rows, began + 1.0, began + 1.2),
            "amplitude_from_0_5s_mm": amplitude_mm(rows, began + 0.5, began + 1.2),
            "distance_at_end_mm": 1e3 * abs(rows[-1][X] - target[0]),
            "passivity_cycles": loop.stats()["passivity_cycles"]}


def onset_stiffness(run):
    """The lowest stiffness, on a 250 N/m grid, at which the arm's motion about a still target 2 mm
    away does not die out: still at least half the step after 1 s."""
    stiffness = 250.0
    while stiffness < 40000.0:
        if run(stiffness)["amplitude_after_1s_mm"] >= 1.0:
            return stiffness
        stiffness += 250.0
    return math.nan


def measure(build, smoke):
    sys.path.insert(0, str(build))
    import OrvexHardwareAPI as orvex
    import OrvexHaptics as haptics

    seconds = 1.0 if smoke else 5.0
    def on_fresh_arms(measurement, *arguments, corvanes=1, hand=None, **options):
        """A measurement on arms at rest in the middle of their workspace."""
        emulator = Emulator(build, corvanes, hand)
        try:
            ports = emulator.ports if corvanes > 1 else emulator.ports[0]
            return measurement(orvex, haptics, ports, *arguments, **options)
        finally:
            emulator.close()

    moving = {"coupling_linear_hold": on_fresh_arms(moving_target, seconds, False),
              "coupling_interpolate_hold": on_fresh_arms(moving_target, seconds, False,
                                                         hold="interpolate"),
              "spring_moved_anchor": on_fresh_arms(moving_target, seconds, True)}
    box = on_fresh_arms(stick_slip_box, min(seconds, 3.0), hand=BOX_HAND)
    arms = on_fresh_arms(two_arms, seconds, corvanes=2)
    onset = onset_stiffness(lambda stiffness: on_fresh_arms(still_target, stiffness, False))
    stiff = {"onset_stiffness_n_per_m": onset, "stiffness_n_per_m": 3 * onset,
             "without_passivity": on_fresh_arms(still_target, 3 * onset, False),
             "with_passivity": on_fresh_arms(still_target, 3 * onset, True)}
    with tempfile.TemporaryDirectory() as folder:
        holding = Path(folder) / "hold.csv"
        holding.write_text(HOLDING_HAND)
        by_hand = {
            "two_arms": on_fresh_arms(two_arms, seconds, corvanes=2, hand=PUSHING_HAND,
                                      by_hand=True),
            "two_arms_passivity": on_fresh_arms(two_arms, seconds, corvanes=2, hand=PUSHING_HAND,
                                                by_hand=True, passivity=True),
            "still_target": on_fresh_arms(still_target, 3 * onset, False, hand=holding),
            "still_target_passivity": on_fresh_arms(still_target, 3 * onset, True, hand=holding)}
    targets = {
        "linear_hold_step_at_most_0_1_n": moving["coupling_linear_hold"]["max_step_n"]
        <= STEP_TARGET_N,
        "two_arms_tracking_p99_at_most_1_mm": arms["tracking_error_p99_mm"] <= TRACKING_TARGET_MM,
        "two_arms_force_step_p99_at_most_0_3_n": arms["force_step_p99_n"]
        <= FORCE_STEP_P99_TARGET_N,
        "passivity_below_0_1_mm_from_0_5_s": stiff["with_passivity"]["amplitude_from_0_5s_mm"]
        < SETTLED_TARGET_MM,
        "box_interpolate_step_p99_at_most_0_2_n_and_the_springs":
        box["interpolate"]["p99_step_n"] <= min(BOX_STEP_P99_TARGET_N,
                                                box["interpolate"]["spring_p99_step_n"]),
    }
    return {"moving_target": moving, "stick_slip_box": box, "two_arms": arms,
            "stiff_coupling": stiff, "by_hand": by_hand, "targets": targets}


def table(figures):
    moving, arms, stiff = figures["moving_target"], figures["two_arms"], figures["stiff_coupling"]
    box = figures["stick_slip_box"]
    rows = ["couplings on the emulated arm (0.5 kg, 4 N s/m) at 1 kHz:",
            "  target at 0.1 m/s updated at 60 Hz, 500 N/m: largest force step between cycles "
            f"{moving['coupling_linear_hold']['max_step_n']:.3f} N with Coupling(hold=\"linear\"), "
            f"{moving['coupling_interpolate_hold']['max_step_n']:.3f} N with hold=\"interpolate\", "
            f"{moving['spring_moved_anchor']['max_step_n']:.3f} N with a Spring's anchor moved; "
            "the arm's distance from the target p99 "
            f"{moving['coupling_linear_hold']['tracking_p99_mm']:.2f} / "
            f"{moving['coupling_interpolate_hold']['tracking_p99_mm']:.2f} / "
            f"{moving['spring_moved_anchor']['tracking_p99_mm']:.2f} mm",
            "  the stick-slip box at 60 Hz pushed by the hand, force step p99 (largest): " +
            ", ".join(f"hold=\"{hold}\" {box[hold]['p99_step_n']:.3f} ({box[hold]['max_step_n']:.2f})"
                      f" N against {box[hold]['spring_p99_step_n']:.3f} "
                      f"({box[hold]['spring_max_step_n']:.2f}) N for the Spring moved along it"
                      for hold in ("interpolate", "linear", "zero")),
            "  two arms at 1500 N/m, one pushed by 2 N, beside busy Python: tracking error p99 "
            f"{arms['tracking_error_p99_mm']:.3f} mm (max {arms['tracking_error_max_mm']:.3f}), "
            f"force step p99 {arms['force_step_p99_n']:.3f} N",
            f"  still target at {stiff['stiffness_n_per_m']:.0f} N/m (3 x the onset of oscillation, "
            f"{stiff['onset_stiffness_n_per_m']:.0f} N/m): amplitude after 1 s "
            f"{stiff['without_passivity']['amplitude_after_1s_mm']:.3f} mm without passivity, "
            f"{stiff['with_passivity']['amplitude_after_1s_mm']:.4f} mm with it "
            f"({stiff['with_passivity']['amplitude_from_0_5s_mm']:.4f} mm from 0.5 s on; "
            f"{stiff['with_passivity']['distance_at_end_mm']:.4f} mm from the target at the end)"]
    hand = figures["by_hand"]
    rows += ["  driven by the emulator's hand, its force off the line:",
             "    two arms, a pushed by the hand's 2 N: a travels "
             f"{hand['two_arms']['travel_mm']:.1f} mm without passivity, "
             f"{hand['two_arms_passivity']['travel_mm']:.1f} mm with it; tracking error p99 "
             f"{hand['two_arms']['tracking_error_p99_mm']:.3f} / "
             f"{hand['two_arms_passivity']['tracking_error_p99_mm']:.3f} mm, force step p99 "
             f"{hand['two_arms']['force_step_p99_n']:.3f} / "
             f"{hand['two_arms_passivity']['force_step_p99_n']:.3f} N",
             f"    still target at {stiff['stiffness_n_per_m']:.0f} N/m held by a relaxed hand: "
             f"amplitude after 1 s {hand['still_target']['amplitude_after_1s_mm']:.3f} mm without "
             f"passivity, {hand['still_target_passivity']['amplitude_after_1s_mm']:.4f} mm with it"]
    met = {True: "met", False: "MISSED"}
    rows.append("coupling targets: " + ", ".join(f"{name} {met[ok]}"
                                                 for name, ok in figures["targets"].items()))
    return "\n".join(rows)


def problems(figures):
    """Figures that are missing: a coupling run that made no cycles."""
    found = []
    if not figures["moving_target"]["coupling_linear_hold"]["cycles"]:
        found.append("coupling: the moving target's loop made no cycles")
    if not figures["two_arms"]["samples"]:
        found.append("coupling: the two arms were never both running")
    if math.isnan(figures["stiff_coupling"]["onset_stiffness_n_per_m"]):
        found.append("coupling: no stiffness made the arm oscillate")
    return found


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=Path, required=True)
    parser.add_argument("--smoke", action="store_true")
    chosen = parser.parse_args()
    result = measure(chosen.build, chosen.smoke)
    print(table(result))
    print(json.dumps(result, indent=2))
