"""A figure-8 guidance path for rehabilitation, its assistance adapted at 60 Hz from Python.

    python3 guidance.py PORT [SECONDS]

The path is an Expression evaluated by the loop at 1 kHz: a spring pulls the hand towards a point
running along a figure 8 (a lemniscate of half-width a, one lap in `period` seconds), around where
the arm stood at the start. Every 1/60 s the program looks at how far the arm is from the path and
changes the assistance: a hand that follows well is helped less (stiffness down), one that lags is
helped more. All of the path's parameters change together with one set(), so the loop never
renders a cycle with the new stiffness and the old size. Prints the tracking error and the
stiffness as they go, then the force steps between two cycles.

Without a person, start `orvex-emulator --corvane` and pass its port: the arm alone lags the path
at first, and the assistance rises until it follows.
"""

import argparse
import math
import time

import OrvexHardwareAPI as orvex
import OrvexHaptics as haptics

from push_the_box import force_steps, latest, p99  # this folder's box example

STEP_HZ = 60.0
LEAST, MOST = 100.0, 300.0  # N/m: the assistance's range

# The point on the figure 8 at time t, and the spring to it, in the loop's own variables.
PATH_X = "cx + a*sin(2*_pi*t/period)"
PATH_Y = "cy + a*sin(4*_pi*t/period)/2"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port")
    parser.add_argument("seconds", nargs="?", type=float, default=3.0)
    options = parser.parse_args()
    loop = haptics.ServoLoop(orvex.SerialStream(options.port), 1000.0,
                             trace_capacity=int(options.seconds * 1000) + 1000)
    with loop:
        start = latest(loop)
        x0, y0, _ = start["position"]
        law = haptics.Expression(f"-k*(x - ({PATH_X})) - b*vx", f"-k*(y - ({PATH_Y})) - b*vy",
                                 "0", params={"k": LEAST, "b": 5.0, "a": 0.0, "period": 4.0,
                                              "cx": x0, "cy": y0})
        loop.add(law)
        began = start["time"]
        stiffness, shown = LEAST, -1.0
        print(" time s   error mm   stiffness N/m")
        while True:
            time.sleep(1.0 / STEP_HZ)
            loop.feed()  # the program still runs: the loop's watchdog keeps the force on
            state = latest(loop)
            t = state["time"]
            if t - began >= options.seconds:
                break
            x, y, _ = state["position"]
            size = min(0.02, 0.02 * (t - began))  # the path grows to 2 cm over the first second
            error = math.hypot(x - x0 - size * math.sin(2 * math.pi * t / 4.0),
                               y - y0 - size * math.sin(4 * math.pi * t / 4.0) / 2)
            # More help the further the hand is off the path, at most a tenth of the range a step.
            wanted = min(MOST, max(LEAST, LEAST + 1e5 * error))
            stiffness += max(-50.0, min(50.0, wanted - stiffness))
            law.set(k=stiffness, a=size)
            if t - began >= shown + 0.25:
                shown = t - began
                print(f"{shown:7.2f} {1e3 * error:10.2f} {stiffness:15.0f}")
    steps = force_steps(loop.trace(), began + 0.2)
    print(f"force step between two cycles: p99 {p99(steps):.3f} N, "
          f"largest {max(steps, default=0.0):.3f} N")
    print(f"loop: {loop.stats()['cycles']} cycles, {loop.stats()['missed']} missed")


if __name__ == "__main__":
    main()
