"""One side of a teleoperation over DDS, stable under delay: run one leader and one follower,
in two processes on one machine or on two machines of one network.

    python3 dds_teleoperation.py leader PORT [options]
    python3 dds_teleoperation.py follower PORT [--wall X] [options]

options: --namespace /lab (both sides alike), --domain N (else $ROS_DOMAIN_ID, else 0),
--stiffness N/m, --damping N·s/m, --seconds S (else until standard input closes or Ctrl-C),
--arm-lost-after S (no reply from the arm for this long stops the loop; 0.25 s), and,
for trying delays on one machine, --delay S, --jitter S and --loss SHARE (the samples this side
receives are held back or dropped before it sees them).

The leader's arm is the one a person moves; the follower's arm goes where it is led, and the
leader feels what stops it. --wall X puts a stiff wall (3,000 N/m) at x = X in front of the
follower, for the leader to touch. Each side's servo loop renders the coupling at 1 kHz and
exchanges its state with the other side through DDS; the time-domain passivity approach across
the network keeps the pair stable whatever the delay. At the end, prints the side's figures as one
line of JSON.

Without arms, the emulator stands in: `orvex-emulator --corvane --hand examples/hands/teleoperation.csv
--hand-loop --corvane` gives two ports, the first moved by a scripted hand: give it to the leader,
the second to the follower (examples/dds_teleoperation_pair.sh starts all three).
"""

import argparse
import json
import math
import select
import sys
import time
from typing import Any, Dict, List, cast

import OrvexHardwareAPI as orvex
import OrvexHaptics as haptics

WALL_STIFFNESS = 3000.0  # N/m


def percentile(values: List[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else 0.0


def trace_rows(loop: haptics.ServoLoop) -> List[List[float]]:
    trace = loop.trace()
    buffer: Any = trace  # rows of float64 through the buffer protocol
    return cast(List[List[float]], memoryview(buffer).tolist()) if len(trace) else []


def run(options: argparse.Namespace) -> Dict[str, Any]:
    side = haptics.Teleoperation(options.role, namespace=options.namespace, domain=options.domain,
                                 stiffness=options.stiffness, damping=options.damping,
                                 emulate_delay_s=options.delay, jitter_s=options.jitter,
                                 loss=options.loss, seed=options.seed)
    stream = orvex.SerialStream(options.port)
    loop = haptics.ServoLoop(stream, rate_hz=1000, watchdog_s=0, trace_capacity=120000,
                             lost_after_s=options.arm_lost_after)
    loop.add(side)
    if options.wall is not None:
        loop.add(haptics.Wall((options.wall, 0, 0), (-1, 0, 0), WALL_STIFFNESS, 5.0))
    loop.start()
    print("running", flush=True)
    began = time.monotonic()
    energy: List[List[float]] = []  # [monotonic s, in J, out J] every 20 ms
    try:
        while options.seconds <= 0 or time.monotonic() - began < options.seconds:
            stats = side.stats()
            energy.append([time.monotonic(), stats["energy_in_j"], stats["energy_out_j"]])
            if options.seconds > 0:
                time.sleep(0.02)
                continue
            ready, _, _ = select.select([sys.stdin], [], [], 0.02)
            if ready and not sys.stdin.readline():
                break
    except KeyboardInterrupt:
        pass
    rows = trace_rows(loop)
    stopped = loop.stats()["stop_reason"]
    loop.stop()
    forces = [row[7:10] for row in rows]
    # Cycles since the reply the force was computed from (columns cycle and reply_cycle): how long
    # the arm's line left the loop without news of it.
    line_gap_s = max((row[14] - row[15] for row in rows if row[15] >= 0), default=0.0) / 1000
    steps = [math.dist(a, b) for a, b in zip(forces, forces[1:])]
    figures: Dict[str, Any] = dict(side.stats())
    figures.update(role=options.role, cycles=len(rows), stop_reason=stopped,
                   force_step_p99_n=percentile(steps, 0.99),
                   force_max_n=max((math.hypot(*f) for f in forces), default=0.0),
                   line_gap_max_s=line_gap_s,
                   energy=energy)
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("role", choices=["leader", "follower"])
    parser.add_argument("port")
    parser.add_argument("--namespace", default="/orvex")
    parser.add_argument("--domain", type=int, default=None)
    parser.add_argument("--stiffness", type=float, default=600.0)
    parser.add_argument("--damping", type=float, default=8.0)
    parser.add_argument("--wall", type=float, default=None)
    parser.add_argument("--seconds", type=float, default=0.0)
    parser.add_argument("--delay", type=float, default=0.0)
    parser.add_argument("--jitter", type=float, default=0.0)
    parser.add_argument("--loss", type=float, default=0.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--arm-lost-after", type=float, default=0.25)
    figures = run(parser.parse_args())
    print(json.dumps(figures), flush=True)


if __name__ == "__main__":
    main()
