"""Teleoperation over DDS between two processes on one machine, each side running
examples/dds_teleoperation.py on its own emulated arm: the emulator's hand moves the leader's arm.
The tests and the benchmark run pairs through run_pair(); run as a program, it shows the pair
reaching into a stiff wall at the follower:

    teleoperation_pair.py [--delay S] [--seconds S]

--delay is the round trip to emulate (each side holds what it receives for half of it, with
+-50 % jitter and 10 % of the samples lost).
"""

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional

import OrvexHaptics as haptics
from OrvexHaptics.testing import EmulatedDevices, Hand, start_emulator

SIDE = Path(__file__).resolve().parents[2] / "examples" / "dds_teleoperation.py"
# The emulated arms' lines are pseudo-terminals, whose bytes the kernel hands on from a worker
# thread of the ordinary class, whatever class the emulator and the loops run in: on a loaded
# machine a reply waits up to a fifth of a second now and then (measured with both ends in the
# real-time class at a load of 10), which a real arm's line never does, and a loop that waits a
# quarter of a second gives its arm up. The sides wait longer, and report whether they held on.
ARM_LOST_AFTER_S = 2.0
# A loop left without a reply for longer renders from where its arm was, and its forces land on the
# arm late and all at once: a 3,000 N/m wall and the energy account lose their footing, and the
# run says nothing of the teleoperation. Unloaded, the longest wait is a few milliseconds.
LINE_GAP_LIMIT_S = 0.02


def start_side(role: str, port: str, namespace: str, domain: int, delay_s: float,
               extra: List[str]) -> subprocess.Popen:
    """One side in a process of its own; returns once its loop runs."""
    arguments = [sys.executable, str(SIDE), role, port, "--namespace", namespace,
                 "--domain", str(domain), "--arm-lost-after", repr(ARM_LOST_AFTER_S)]
    if delay_s > 0:
        one_way = delay_s / 2
        arguments += ["--delay", repr(one_way), "--jitter", repr(one_way / 2), "--loss", "0.1"]
    # The sides import the modules this program imported, wherever they were found.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.dirname(haptics.__file__),
                                                      env.get("PYTHONPATH")]))
    process = subprocess.Popen(arguments + extra, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               text=True, env=env)
    line = process.stdout.readline()
    if line.strip() != "running":
        process.kill()
        raise RuntimeError("the %s side did not start: %r" % (role, line))
    return process


def finish_side(process: subprocess.Popen) -> Dict[str, Any]:
    """Ends a side (closing its input) and returns its figures; none from a side that was
    killed."""
    out, _ = process.communicate("", timeout=60)
    lines = out.strip().splitlines()
    return json.loads(lines[-1]) if process.returncode == 0 and lines else {}


def channel_energy(leader: Dict[str, Any], follower: Dict[str, Any]) -> float:
    """The most energy the channel and both controllers had surely put into the two arms beyond
    what the arms put in, at any moment the leader sampled (J). The follower's sums at that moment
    are known only between its samples around it: what it had surely been given by then (its
    energy out at the sample before) less what it had at most put in (its energy in at the sample
    after). Interpolated instead, a sampling thread held back by a loaded machine, while energy
    flows at half a watt into a wall, reads as millijoules created."""
    rows = follower["energy"]
    worst = 0.0
    for t, energy_in, energy_out in leader["energy"]:
        before = [row for row in rows if row[0] <= t]
        after = [row for row in rows if row[0] >= t]
        if not before or not after:
            continue
        worst = max(worst, energy_out + before[-1][2] - energy_in - after[0][1])
    return worst


def whole_truth(emulator: EmulatedDevices, index: int) -> Dict[str, List[float]]:
    """The arm's truth so far; the emulator may be writing its last row as it is read."""
    for _ in range(20):
        try:
            return emulator.truth_file(index)
        except ValueError:
            time.sleep(0.005)
    return emulator.truth_file(index)


def run_pair(operate: Callable[[EmulatedDevices, Dict[str, subprocess.Popen]], Any], delay_s: float = 0.0,
             wall: Optional[float] = None, namespace: str = "/pair", domain: int = 17,
             gains: Optional[List[str]] = None) -> Dict[str, Any]:
    """Starts the emulator and both sides, calls operate(emulator, {"leader": process,
    "follower": process}) (the leader's hand is emulator.hands[0]), ends the sides and returns {"leader", "follower": their figures,
    "truth": [leader's, follower's truth columns], "operated": what operate returned,
    "channel_energy_j": see channel_energy}. gains: options for both sides ("--stiffness",
    "1000", ...)."""
    gains = gains or []
    with start_emulator(corvanes=2) as emulator:
        leader = start_side("leader", emulator.corvanes[0], namespace, domain, delay_s,
                            gains)
        follower = start_side("follower", emulator.corvanes[1], namespace, domain, delay_s,
                              gains + (["--wall", repr(wall)] if wall is not None else []))
        try:
            operated = operate(emulator, {"leader": leader, "follower": follower})
        finally:
            figures = {"leader": finish_side(leader), "follower": finish_side(follower)}
        figures["truth"] = [whole_truth(emulator, 0), whole_truth(emulator, 1)]
        figures["operated"] = operated
    if figures["leader"] and figures["follower"]:
        figures["channel_energy_j"] = channel_energy(figures["leader"], figures["follower"])
    return figures


class LineStalled(RuntimeError):
    """Every attempt's arm lines stalled longer than LINE_GAP_LIMIT_S."""


def line_gaps(figures: Dict[str, Any]) -> List[float]:
    """The longest wait for a reply on each side's line, of the sides that reported."""
    return [figures[role]["line_gap_max_s"] for role in ("leader", "follower") if figures[role]]


def run_pair_on_steady_lines(operate: Callable[[EmulatedDevices, Dict[str, subprocess.Popen]], Any],
                             delay_s: float = 0.0, attempts: int = 3,
                             **options: Any) -> Dict[str, Any]:
    """run_pair(), again (up to attempts in all) while a line stalled beyond LINE_GAP_LIMIT_S;
    LineStalled when every attempt's did."""
    gaps: List[List[float]] = []
    for _ in range(attempts):
        figures = run_pair(operate, delay_s, **options)
        gaps.append(line_gaps(figures))
        if max(gaps[-1], default=0.0) <= LINE_GAP_LIMIT_S:
            return figures
    raise LineStalled("the emulated arms' lines stalled in every attempt (longest waits for a reply, "
                      "s: %s); the machine is too loaded for a 1 kHz line" % gaps)


def reach_into_wall(emulator: EmulatedDevices, hold_s: float = 3.0) -> float:
    """The operator reaches to 50 mm within a second and holds there; returns when the hold ended,
    on the emulator's clock. What follows is the sides being ended one after the other: the one
    still running loses its peer and lets its arm go."""
    hand: Hand = emulator.hands[0]
    time.sleep(0.3)
    hand.move_to((0.05, 0.0, 0.0), 1.0)
    time.sleep(hold_s)
    return hand.truth().time


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--delay", type=float, default=0.0)
    parser.add_argument("--seconds", type=float, default=3.0)
    options = parser.parse_args()
    figures = run_pair(lambda emulator, _: reach_into_wall(emulator, options.seconds),
                       options.delay, wall=0.03)
    leader, follower = figures["truth"]
    print("leader at %.1f mm, follower at %.1f mm (the wall at 30 mm)"
          % (leader["x"][-1] * 1000, follower["x"][-1] * 1000))
    print("most energy the channel put in: %.3f mJ" % (figures["channel_energy_j"] * 1000))
    for role in ("leader", "follower"):
        side = figures[role]
        print("%s: %d samples received, latency p99 %.0f us, loop cost p99 %.1f us, force step "
              "p99 %.2f N" % (role, side["received"], side["latency_p99_us"],
                              side["render_p99_us"], side["force_step_p99_n"]))


if __name__ == "__main__":
    main()
