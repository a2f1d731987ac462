"""The haptic wall with its 1 kHz loop written in Python: a stiff virtual wall and a damping field
on a Corvane, computed and sent by the program's own main thread.

    python3 haptic_wall_python_loop.py PORT [SECONDS]

Each cycle sends the force to render and gets the arm's position and velocity back in the same
exchange. With nobody holding the arm, a gentle push towards the wall stands in for the user.
The loop holds its rate only while the program does nothing else; haptic_wall.py renders the same
wall with the native servo loop and keeps the main thread free.
"""

import statistics
import sys
import time
from typing import List, Sequence

import OrvexHardwareAPI as orvex

PERIOD = 0.001          # 1 kHz
SPIN = 0.0002           # the last part of each wait is spun, not slept
WALL_X = 0.03           # the wall's face, metres along x
WALL_STIFFNESS = 2000.0  # N/m inside the wall
DAMPING = 2.0           # N·s/m everywhere, so the arm feels as if it moved through oil
USER_PUSH = 1.5         # N towards the wall: the hand we do not have


def wall_force(position: Sequence[float], velocity: Sequence[float]) -> List[float]:
    """The force the wall and the damping field push back with."""
    force = [USER_PUSH - DAMPING * velocity[0], -DAMPING * velocity[1], -DAMPING * velocity[2]]
    penetration = position[0] - WALL_X
    if penetration > 0:
        force[0] -= WALL_STIFFNESS * penetration
    return force


def main(port: str, seconds: float) -> None:
    arm = orvex.Corvane(orvex.SerialStream(port))
    info = arm.device_wakeup_dict()
    print("Corvane %d, model %d, UUID %s" % (info["device_id"], info["device_model_number"],
                                            info["device_id_ext"]))

    force = [0.0, 0.0, 0.0]
    latencies: List[float] = []
    missed = loops = 0
    start = next_tick = time.perf_counter()
    last_status = start
    while time.perf_counter() - start < seconds:
        sent = time.perf_counter()
        position, velocity = arm.end_effector_force(force)
        latencies.append(time.perf_counter() - sent)
        force = wall_force(position, velocity)
        loops += 1

        now = time.perf_counter()
        if now - last_status >= 0.1:
            rate = loops / (now - start)
            print("\rx %+.4f m  y %+.4f m  z %+.4f m | force x %+6.2f N | %6.0f Hz"
                  % (position[0], position[1], position[2], force[0], rate), end="", flush=True)
            last_status = now
        next_tick += PERIOD
        if time.perf_counter() < next_tick:
            # Sleep most of the wait, then spin: a sleep can overshoot by a good part of a period.
            delay = next_tick - time.perf_counter() - SPIN
            if delay > 0:
                time.sleep(delay)
            while time.perf_counter() < next_tick:
                pass
        else:
            missed += 1
            next_tick = time.perf_counter()  # start afresh rather than rush to catch up

    elapsed = time.perf_counter() - start
    latencies.sort()
    p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
    print("\nhaptic wall: %d loops in %.2f s, %.0f Hz; exchange latency p50 %.0f us, p99 %.0f us;"
          " %d missed deadlines" % (loops, elapsed, loops / elapsed,
                                    statistics.median(latencies) * 1e6, p99 * 1e6, missed))


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 3.0)
