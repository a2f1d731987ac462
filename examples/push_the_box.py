"""A box simulated in plain Python at 60 Hz, felt on a Corvane at 1 kHz through a Coupling.

    python3 push_the_box.py PORT [SECONDS]

Push the arm along x and let go: you feel the box's weight as you set it moving, its friction
(2 N) while it slides, and nothing once it sticks. Without an arm, the emulator's hand does it:
start `orvex-emulator --corvane --hand examples/hands/push_the_box.csv --hand-loop` and pass its
port.

The box (1 kg) lies on a floor with friction (0.2). The arm holds it through a spring-damper, a
Coupling, critically damped for the box's mass: the simulation hands the box's place and velocity
to the coupling after each of its steps, and the loop moves the target on between steps at that
velocity, so the force changes smoothly at every cycle instead of jumping 60 times a second. The
coupling hands back the force the arm exerted on the box over the step, which the simulation
applies. Prints the box's path and the force the hand feels, then the largest force step between
two cycles.
"""

import math
import sys
import time
from typing import Any, List, cast

import OrvexHardwareAPI as orvex
import OrvexHaptics as haptics

STEP_HZ = 60.0
BOX_MASS = 1.0           # kg
FRICTION = 0.2           # Coulomb, against the floor
GRAVITY = 9.81
STIFFNESS = 500.0        # N/m between the arm and the box


class Box:
    """A body sliding along x on a floor with friction."""

    def __init__(self, x: float) -> None:
        self.x, self.v = x, 0.0

    def step(self, push: float, dt: float) -> None:
        """Moves the box on by dt under a push, in steps short enough to stay stable when the
        program was held up and dt came out long."""
        count = max(1, math.ceil(dt * 4 * STEP_HZ))
        for _ in range(count):
            self._substep(push, dt / count)

    def _substep(self, push: float, dt: float) -> None:
        sliding_friction = FRICTION * BOX_MASS * GRAVITY
        if self.v == 0.0 and abs(push) <= sliding_friction:
            return  # it sticks
        direction = math.copysign(1.0, self.v if self.v != 0.0 else push)
        v = self.v + (push - direction * sliding_friction) / BOX_MASS * dt
        # Friction stops a box; it never sends it back.
        self.v = 0.0 if self.v != 0.0 and v * self.v < 0 else v
        self.x += self.v * dt


def largest_force_step(trace: haptics.Trace) -> float:
    buffer: Any = trace  # rows of float64 through the buffer protocol
    rows = cast(List[List[float]], memoryview(buffer).tolist()) if len(trace) else []
    forces = [row[7:10] for row in rows if row[14] >= 1]
    return max((math.dist(a, b) for a, b in zip(forces, forces[1:])), default=0.0)


def latest(loop: haptics.ServoLoop) -> "haptics._ServoState":
    """The loop's last cycle, once it has made one."""
    state = loop.state()
    while state is None:
        time.sleep(0.001)
        state = loop.state()
    return state


def main() -> None:
    port = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 2.4
    loop = haptics.ServoLoop(orvex.SerialStream(port), 1000.0, trace_capacity=int(seconds * 1000))
    coupling = haptics.Coupling(STIFFNESS, mass=BOX_MASS, hold="linear")
    with loop:
        state = latest(loop)
        box = Box(state["position"][0])
        y, z = state["position"][1:]
        coupling.update([box.x, y, z], [0.0, 0.0, 0.0], time=state["time"])
        loop.add(coupling)
        began = last = state["time"]
        shown = -1.0
        print(" time s   box x mm   arm x mm   felt N")
        while last - began < seconds:
            time.sleep(1.0 / STEP_HZ)
            now = latest(loop)["time"]
            loop.feed()
            reaction = coupling.take_force()
            box.step(reaction["force"][0], now - last)
            coupling.update([box.x, y, z], [box.v, 0.0, 0.0], time=now)
            last = now
            if now - began >= shown + 0.1:
                shown = now - began
                arm = latest(loop)["position"][0]
                # The hand feels the box as the coupling pulls the arm: the reaction's opposite.
                felt = -reaction["force"][0]
                print(f"{shown:7.2f} {1e3 * box.x:10.2f} {1e3 * arm:10.2f} {felt:8.2f}")
    print(f"largest force step between two cycles: {largest_force_step(loop.trace()):.3f} N")
    print(f"loop: {loop.stats()['cycles']} cycles, {loop.stats()['missed']} missed")


if __name__ == "__main__":
    main()
