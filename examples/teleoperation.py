"""Two Corvanes held together natively: one driven by a force, the other following.

    python3 teleoperation.py PORT_A PORT_B [SECONDS]

Move arm A: arm B follows, and you feel through A what B meets, with the coupling's spring between
the two. Without arms, the emulator's hand moves A: start `orvex-emulator --corvane --hand
examples/hands/teleoperation.csv --hand-loop --corvane` and pass its two ports.

A Bilateral coupling gives each arm's servo loop an effect that pulls its arm towards the other
arm's latest state: a spring-damper between the two, rendered at 1 kHz on both sides without
Python in between. Prints how closely B tracks A, how far A went, and the largest steps of force
between two cycles.
"""

import math
import sys
import time
from typing import Any, List, cast

import OrvexHardwareAPI as orvex
import OrvexHaptics as haptics

STIFFNESS = 1500.0  # N/m between the arms
DAMPING = 20.0      # N·s/m on their relative velocity


def percentile(values: List[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else 0.0


def force_steps(loop: haptics.ServoLoop) -> List[float]:
    trace = loop.trace()
    buffer: Any = trace  # rows of float64 through the buffer protocol
    rows = cast(List[List[float]], memoryview(buffer).tolist()) if len(trace) else []
    forces = [row[7:10] for row in rows if row[14] >= 1]
    return [math.dist(a, b) for a, b in zip(forces, forces[1:])]


def main() -> None:
    port_a, port_b = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 2.0
    capacity = int(seconds * 1000)
    a = haptics.ServoLoop(orvex.SerialStream(port_a), 1000.0, trace_capacity=capacity)
    b = haptics.ServoLoop(orvex.SerialStream(port_b), 1000.0, trace_capacity=capacity)
    effect_a, effect_b = haptics.Bilateral(a, b, STIFFNESS, damping=DAMPING).effects
    a.add(effect_a)
    b.add(effect_b)
    errors: List[float] = []
    reach = 0.0
    with a, b:
        began = time.monotonic()
        while time.monotonic() - began < seconds:
            a.feed()
            b.feed()
            state_a, state_b = a.state(), b.state()
            if state_a and state_b:
                errors.append(math.dist(state_a["position"], state_b["position"]))
                reach = max(reach, abs(state_a["position"][0]))
            time.sleep(0.005)
    steps = force_steps(a) + force_steps(b)
    print(f"tracking error: p99 {1e3 * percentile(errors, 0.99):.3f} mm, "
          f"max {1e3 * max(errors, default=0.0):.3f} mm over {len(errors)} looks")
    print(f"arm A reached {1e3 * reach:.1f} mm along x")
    print(f"force step between two cycles: p99 {percentile(steps, 0.99):.3f} N, "
          f"max {max(steps, default=0.0):.3f} N")


if __name__ == "__main__":
    main()
