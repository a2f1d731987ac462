"""A haptic wall rendered by the native servo loop: a stiff virtual wall and a damping field on a
Corvane at 1 kHz, while the main thread stays free for other work.

    python3 haptic_wall.py PORT [SECONDS] [TRACE_CSV]

The loop runs on a thread of its own, outside the interpreter: each cycle it sends the sum of its
effects and the force the program set, and reads the arm's position and velocity back. The main
thread meanwhile searches for prime numbers without pause, and between slices of that work shows a
status line and sets the force again, which keeps the loop's watchdog fed. With nobody holding the arm, a gentle push towards the wall stands in for
the user. Given TRACE_CSV, the loop's last second of cycles is written there.
"""

import sys
import time
from typing import Optional

import OrvexHardwareAPI as orvex
import OrvexHaptics as haptics

RATE_HZ = 1000.0
WALL_X = 0.03            # the wall's face, metres along x; the free side is x < WALL_X
WALL_STIFFNESS = 2000.0  # N/m inside the wall
DAMPING = 2.0            # N·s/m everywhere, so the arm feels as if it moved through oil
USER_PUSH = 1.5          # N towards the wall: the hand we do not have
WORK_SLICE = 0.05        # s of prime search between two looks at the loop: half the watchdog's time


def is_prime(n: int) -> bool:
    if n < 2:
        return False
    divisor = 2
    while divisor * divisor <= n:
        if n % divisor == 0:
            return False
        divisor += 1
    return True


class PrimeSearch:
    """Plain Python arithmetic standing in for the rest of an application."""

    def __init__(self) -> None:
        self.candidate = 1
        self.found = 0

    def work_for(self, seconds: float) -> None:
        end = time.perf_counter() + seconds
        while time.perf_counter() < end:
            self.candidate += 1
            if is_prime(self.candidate):
                self.found += 1


def show_status(loop: haptics.ServoLoop, primes: PrimeSearch) -> None:
    state = loop.state()
    if state is None:
        return
    stats = loop.stats()
    x, y, z = state["position"]
    print("\rx %+.4f m  y %+.4f m  z %+.4f m | force x %+6.2f N | %6.0f Hz, %d missed"
          " | main thread: %d primes" % (x, y, z, state["force"][0], stats["rate_hz"],
                                         stats["missed"], primes.found), end="", flush=True)


def main(port: str, seconds: float, trace_csv: Optional[str]) -> None:
    loop = haptics.ServoLoop(orvex.SerialStream(port), RATE_HZ,
                             trace_capacity=int(RATE_HZ) if trace_csv else 0)
    loop.add(haptics.Wall(point=[WALL_X, 0.0, 0.0], normal=[-1.0, 0.0, 0.0],
                          stiffness=WALL_STIFFNESS))
    loop.add(haptics.Damper(coefficient=DAMPING))
    primes = PrimeSearch()
    with loop:
        info = loop.info
        if info is not None:  # always, once started
            print("Corvane %d, model %d, UUID %s" % (
                info["device_id"], info["device_model_number"], info["device_id_ext"]))
        end = time.monotonic() + seconds
        while time.monotonic() < end and loop.running:
            loop.force = [USER_PUSH, 0.0, 0.0]  # setting the force feeds the watchdog
            primes.work_for(WORK_SLICE)
            show_status(loop, primes)
        trace = loop.trace()
    stats = loop.stats()
    print("\nhaptic wall: %d cycles, %.0f Hz; wake-up lateness p50 %.0f us, p99 %.0f us;"
          " exchange p50 %.0f us, p99 %.0f us; %d missed deadlines; stopped by %s"
          % (stats["cycles"], stats["rate_hz"], stats["late_p50_us"], stats["late_p99_us"],
             stats["exchange_p50_us"], stats["exchange_p99_us"], stats["missed"],
             stats["stop_reason"]))
    print("main thread meanwhile: %d primes up to %d" % (primes.found, primes.candidate))
    if trace_csv:
        trace.to_csv(trace_csv)
        print("the last %d cycles written to %s" % (len(trace), trace_csv))


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 3.0,
         sys.argv[3] if len(sys.argv) > 3 else None)
