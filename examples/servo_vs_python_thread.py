"""The native servo loop holding 1 kHz beside a busy main thread, then the same loop written as a
Python thread beside the same main thread, for comparison.

    python3 servo_vs_python_thread.py PORT [SECONDS]

Each loop runs for SECONDS (default 3) and sends one force command a period, while the main thread
does plain Python arithmetic without pause. The Python thread can only run when the interpreter
lock is handed to it, which the busy main thread does every 5 ms: it misses nearly every deadline.
The native loop runs without the interpreter lock and does not notice.
"""

import sys
import threading
import time
from typing import Callable, Dict, List, Optional, Sequence, Union

import OrvexHardwareAPI as orvex
import OrvexHaptics as haptics

RATE_HZ = 1000.0
FORCE = [0.1, 0.0, 0.0]  # N, a faint constant push: the load is the exchange, not the force law
CHUNK = 10000            # multiplications between two calls to the busy loop's callback

Figures = Dict[str, Union[int, float]]


def busy_arithmetic(seconds: float, between_chunks: Callable[[], None]) -> int:
    """Python arithmetic for `seconds`, calling `between_chunks` every CHUNK multiplications;
    returns the multiplications made."""
    end = time.perf_counter() + seconds
    total = done = 0
    while time.perf_counter() < end:
        for i in range(CHUNK):
            total = (total + i * i) % 1000003
        done += CHUNK
        between_chunks()
    return done


def percentile(values: Sequence[float], fraction: float) -> float:
    """Nearest-rank percentile."""
    ordered = sorted(values)
    return ordered[max(0, min(len(ordered) - 1, int(fraction * len(ordered) + 0.5) - 1))]


class PythonThreadLoop:
    """The loop a Python program would write itself: one exchange a period on a thread of its own,
    with absolute deadlines; a cycle that ends past the next deadline is missed, and the schedule
    starts afresh from then instead of rushing to catch up, as the native loop does."""

    def __init__(self, corvane: orvex.Corvane, rate_hz: float) -> None:
        self._corvane = corvane
        self._period = 1.0 / rate_hz
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run)
        self.lateness_us: List[float] = []
        self.exchange_us: List[float] = []
        self.missed = 0
        self.cpu_s = 0.0
        self.wall_s = 0.0

    def _run(self) -> None:
        clock = time.perf_counter
        cpu_start = time.thread_time()
        start = deadline = clock()
        while not self._stop.is_set():
            delay = deadline - clock()
            if delay > 0:
                time.sleep(delay)
            woke = clock()
            self._corvane.end_effector_force(FORCE)
            done = clock()
            self.lateness_us.append((woke - deadline) * 1e6)
            self.exchange_us.append((done - woke) * 1e6)
            deadline += self._period
            if done > deadline:
                self.missed += 1
                deadline = done
        self.wall_s = clock() - start
        self.cpu_s = time.thread_time() - cpu_start

    def run_beside(self, work: Callable[[], object]) -> Figures:
        """Runs the loop while `work` runs on the calling thread; the loop's figures."""
        self._thread.start()
        try:
            work()
        finally:
            self._stop.set()
            self._thread.join()
        cycles = len(self.lateness_us)
        return {"cycles": cycles, "rate_hz": cycles / self.wall_s, "missed": self.missed,
                "late_p50_us": percentile(self.lateness_us, 0.5),
                "late_p99_us": percentile(self.lateness_us, 0.99),
                "exchange_p50_us": percentile(self.exchange_us, 0.5),
                "exchange_p99_us": percentile(self.exchange_us, 0.99),
                "cpu_us_per_cycle": self.cpu_s / cycles * 1e6}


def native_loop_beside_busy_python(stream: orvex.SerialStream, seconds: float,
                                   realtime: Optional[bool] = None) -> Figures:
    """The servo loop for `seconds` while this thread does arithmetic and feeds its watchdog;
    `realtime` as the loop takes it: by default the real-time class where it is granted, False
    for the normal class alone."""
    with haptics.ServoLoop(stream, RATE_HZ, realtime=realtime) as loop:
        loop.force = FORCE
        cpu_start, main_cpu_start = time.process_time(), time.thread_time()
        busy_arithmetic(seconds, loop.feed)
        # The process's CPU time less this thread's is the loop thread's.
        loop_cpu = (time.process_time() - cpu_start) - (time.thread_time() - main_cpu_start)
    stats = loop.stats()
    return {"cycles": stats["cycles"], "rate_hz": stats["rate_hz"], "missed": stats["missed"],
            "late_p50_us": stats["late_p50_us"], "late_p99_us": stats["late_p99_us"],
            "exchange_p50_us": stats["exchange_p50_us"],
            "exchange_p99_us": stats["exchange_p99_us"],
            "cpu_us_per_cycle": loop_cpu / stats["cycles"] * 1e6,
            "realtime": int(stats["realtime"])}


def python_thread_beside_busy_python(stream: orvex.SerialStream, seconds: float) -> Figures:
    corvane = orvex.Corvane(stream)
    corvane.device_wakeup_dict()
    loop = PythonThreadLoop(corvane, RATE_HZ)
    return loop.run_beside(lambda: busy_arithmetic(seconds, lambda: None))


def held_percent(cycles: float, missed: float, rate_hz: float) -> float:
    """The share of the run's deadlines that a cycle met: cycles that ended before the next
    deadline, over the deadlines the run's time held (those skipped by a late cycle count as
    lost too)."""
    deadlines = cycles * RATE_HZ / rate_hz if rate_hz else 0.0
    return 100.0 * min(1.0, (cycles - missed) / deadlines) if deadlines else 0.0


def summary(name: str, figures: Figures) -> str:
    return ("%-28s %6.0f Hz, %5.1f%% of deadlines held; lateness p50 %6.0f us, p99 %6.0f us;"
            " exchange p50 %4.0f us, p99 %5.0f us" % (
                name, figures["rate_hz"],
                held_percent(figures["cycles"], figures["missed"], figures["rate_hz"]),
                figures["late_p50_us"],
                figures["late_p99_us"], figures["exchange_p50_us"], figures["exchange_p99_us"]))


def main(port: str, seconds: float) -> None:
    stream = orvex.SerialStream(port)
    print("1 kHz beside a main thread doing Python arithmetic, %.0f s each:" % seconds)
    print(summary("native servo loop", native_loop_beside_busy_python(stream, seconds)))
    print(summary("the same loop, Python thread", python_thread_beside_busy_python(stream, seconds)))


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 3.0)
