"""Teleoperation over DDS between two processes on one machine, with two emulated arms: the
emulator's hand moves the leader's arm, and the follower's arm meets a stiff wall.

    python3 dds_teleoperation_pair.py [--delay S] [--seconds S]

--delay is the round trip to emulate (each side holds what it receives for half of it, with
+-50 % jitter and 10 % of the samples lost). Starts the emulator with two Corvanes and
dds_teleoperation.py twice (leader, follower) on a domain and namespace of their own, moves the
hand to 50 mm while the wall stands at 30 mm, and prints where both arms settle and what the
channel's energy balance was. run_pair() is what the tests and the benchmark use.
"""

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional

from OrvexHaptics.testing import EmulatedDevices, Hand, start_emulator

SIDE = Path(__file__).resolve().parent / "dds_teleoperation.py"


def start_side(role: str, port: str, namespace: str, domain: int, delay_s: float,
               extra: List[str]) -> subprocess.Popen:
    """One side in a process of its own; returns once its loop runs."""
    arguments = [sys.executable, str(SIDE), role, port, "--namespace", namespace,
                 "--domain", str(domain)]
    if delay_s > 0:
        one_way = delay_s / 2
        arguments += ["--delay", repr(one_way), "--jitter", repr(one_way / 2), "--loss", "0.1"]
    process = subprocess.Popen(arguments + extra, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               text=True, env=dict(os.environ))
    line = process.stdout.readline()
    if line.strip() != "running":
        process.kill()
        raise RuntimeError("the %s side did not start: %r" % (role, line))
    return process


def finish_side(process: subprocess.Popen) -> Dict[str, Any]:
    """Ends a side (closing its input) and returns its figures."""
    out, _ = process.communicate("", timeout=60)
    return json.loads(out.strip().splitlines()[-1])


def channel_energy(leader: Dict[str, Any], follower: Dict[str, Any]) -> float:
    """The most energy the channel and both controllers had put into the two arms beyond what
    the arms put in, at any moment both sides sampled (J)."""
    def at(series: List[List[float]], t: float) -> List[float]:
        last = series[0]
        for row in series:
            if row[0] > t:
                break
            last = row
        return last

    worst = 0.0
    for row in leader["energy"]:
        other = at(follower["energy"], row[0])
        worst = max(worst, row[2] + other[2] - row[1] - other[1])
    return worst


def run_pair(operate: Callable[[EmulatedDevices], Any], delay_s: float = 0.0,
             wall: Optional[float] = None, namespace: str = "/pair", domain: int = 17,
             leader_extra: Optional[List[str]] = None, stiffness: Optional[float] = None
             ) -> Dict[str, Any]:
    """Starts the emulator and both sides, calls operate(emulator) (the leader's hand is
    emulator.hands[0]), ends the sides and returns {"leader", "follower": their figures,
    "truth": [leader's, follower's truth columns], "operated": what operate returned,
    "channel_energy_j": see channel_energy}."""
    gains = ["--stiffness", repr(stiffness)] if stiffness else []
    with start_emulator(corvanes=2) as emulator:
        leader = start_side("leader", emulator.corvanes[0], namespace, domain, delay_s,
                            gains + (leader_extra or []))
        follower = start_side("follower", emulator.corvanes[1], namespace, domain, delay_s,
                              gains + (["--wall", repr(wall)] if wall is not None else []))
        try:
            operated = operate(emulator)
        finally:
            figures = {"leader": finish_side(leader), "follower": finish_side(follower)}
        figures["truth"] = [emulator.truth_file(0), emulator.truth_file(1)]
        figures["operated"] = operated
    figures["channel_energy_j"] = channel_energy(figures["leader"], figures["follower"])
    return figures


def reach_into_wall(emulator: EmulatedDevices, hold_s: float = 3.0) -> None:
    hand: Hand = emulator.hands[0]
    time.sleep(0.3)
    hand.move_to((0.05, 0.0, 0.0), 1.0)
    time.sleep(hold_s)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--delay", type=float, default=0.0)
    parser.add_argument("--seconds", type=float, default=3.0)
    options = parser.parse_args()
    figures = run_pair(lambda emulator: reach_into_wall(emulator, options.seconds),
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
