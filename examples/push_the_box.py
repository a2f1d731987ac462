"""A box simulated in plain Python at 60 Hz, felt on a Corvane at 1 kHz through a Coupling.

    python3 push_the_box.py PORT [SECONDS] [--hold interpolate|linear|zero|spring]

Push the arm along x and let go: you feel the box's weight as you set it moving, its friction
(2 N) while it slides, and nothing once it sticks. Without an arm, the emulator's hand does it:
start `orvex-emulator --corvane --hand examples/hands/push_the_box.csv --hand-loop` and pass its
port.

The box (1 kg) lies on a floor with friction (0.2). The arm holds it through a spring-damper, a
Coupling, critically damped for the box's mass: the simulation hands the box's place and velocity
to the coupling after each of its steps, and the loop carries the target from one step to the
next (hold="interpolate": one step late, its place and velocity never jumping), so the force
changes smoothly at every cycle instead of jumping 60 times a second. The coupling hands back the
force the arm exerted on the box over the step, which the simulation applies. Prints the box's
path and the force the hand feels, then the force steps between two cycles.

--hold linear or zero shows the coupling's other holds. For comparison, the box's path is then
played again through a Spring whose anchor jumps to the box at each step.
"""

import argparse
import math
import time
from typing import Any, List, Literal, NamedTuple, cast

import OrvexHardwareAPI as orvex
import OrvexHaptics as haptics

STEP_HZ = 60.0
BOX_MASS = 1.0           # kg
FRICTION = 0.2           # Coulomb, against the floor
GRAVITY = 9.81
STIFFNESS = 500.0        # N/m between the arm and the box

Hold = Literal["interpolate", "linear", "zero"]


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


def force_steps(trace: haptics.Trace, since: float) -> List[float]:
    """How far the force moved between each two cycles from `since` (loop time) on."""
    buffer: Any = trace  # rows of float64 through the buffer protocol
    rows = cast(List[List[float]], memoryview(buffer).tolist()) if len(trace) else []
    forces = [row[7:10] for row in rows if row[14] >= 1 and row[0] >= since]
    return sorted(math.dist(a, b) for a, b in zip(forces, forces[1:]))


def p99(values: List[float]) -> float:
    return values[min(len(values) - 1, int(0.99 * len(values)))] if values else 0.0


def latest(loop: haptics.ServoLoop) -> "haptics._ServoState":
    """The loop's last cycle, once it has made one."""
    state = loop.state()
    while state is None:
        time.sleep(0.001)
        state = loop.state()
    return state


class Run(NamedTuple):
    steps: List[float]  # the force steps between two cycles, sorted
    path: List[float]   # the box's place (x, m) after each step


def push_the_box(loop: haptics.ServoLoop, hold: Hold, seconds: float, show: bool = True) -> Run:
    """Runs the box for `seconds` against the running loop, held through a Coupling with this
    hold; the force steps count once the box has been held for 0.2 s."""
    state = latest(loop)
    box = Box(state["position"][0])
    y, z = state["position"][1:]
    coupling = haptics.Coupling(STIFFNESS, mass=BOX_MASS, hold=hold)
    coupling.update([box.x, y, z], [0.0, 0.0, 0.0], time=state["time"])
    loop.add(coupling)
    began = last = state["time"]
    shown = -1.0
    path = []
    if show:
        print(" time s   box x mm   arm x mm   felt N")
    while last - began < seconds:
        time.sleep(1.0 / STEP_HZ)
        now = latest(loop)["time"]
        loop.feed()
        reaction = coupling.take_force()
        box.step(reaction["force"][0], now - last)
        coupling.update([box.x, y, z], [box.v, 0.0, 0.0], time=now)
        path.append(box.x)
        last = now
        if show and now - began >= shown + 0.1:
            shown = now - began
            arm = latest(loop)["position"][0]
            # The hand feels the box as the coupling pulls the arm: the reaction's opposite.
            felt = -reaction["force"][0]
            print(f"{shown:7.2f} {1e3 * box.x:10.2f} {1e3 * arm:10.2f} {felt:8.2f}")
    loop.remove(coupling)
    return Run(force_steps(loop.trace(), began + 0.2), path)


def spring_along(loop: haptics.ServoLoop, path: List[float]) -> List[float]:
    """A Spring as stiff as the coupling, its anchor set to each place of a box's path at 60 Hz,
    as an application without a coupling would: the force steps between two cycles."""
    state = latest(loop)
    y, z = state["position"][1:]
    spring = haptics.Spring(anchor=[path[0], y, z], stiffness=STIFFNESS)
    loop.add(spring)
    for x in path:
        time.sleep(1.0 / STEP_HZ)
        loop.feed()
        spring.anchor = [x, y, z]
    loop.remove(spring)
    return force_steps(loop.trace(), state["time"] + 0.2)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port")
    parser.add_argument("seconds", nargs="?", type=float, default=2.4)
    parser.add_argument("--hold", default="interpolate", choices=["interpolate", "linear", "zero"])
    options = parser.parse_args()
    loop = haptics.ServoLoop(orvex.SerialStream(options.port), 1000.0,
                             trace_capacity=int(options.seconds * 1000) + 1000)
    with loop:
        run = push_the_box(loop, cast(Hold, options.hold), options.seconds)
        # The same path again, through a Spring whose anchor jumps to the box at each step.
        spring = spring_along(loop, run.path)
    for name, steps in ((f"Coupling, hold {options.hold}", run.steps), ("Spring moved", spring)):
        print(f"force step between two cycles, {name}: p99 {p99(steps):.3f} N, "
              f"largest {max(steps, default=0.0):.3f} N")
    print(f"loop: {loop.stats()['cycles']} cycles, {loop.stats()['missed']} missed")


if __name__ == "__main__":
    main()
