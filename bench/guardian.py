"""The guardian's latency: a program holding 6 N on a stand-in Corvane is killed (SIGKILL) again
and again; each time, the time from the kill to the zero-force command's arrival at the device,
as the device sees it. The device and the program are the tests' own (tests/python)."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1] / "tests" / "python"
DEATHS = (50, 3)  # full run, smoke
TARGET_MS = 10.0


class Device:
    """The tests' Corvane double: it tells when each force came. It is served in a real-time
    class where granted, so that its own wake-up under load does not count as the guardian's."""

    def __init__(self):
        self.process = subprocess.Popen([sys.executable, str(TESTS / "corvane_double.py")],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.path = self.process.stdout.readline().strip()
        try:
            os.sched_setscheduler(self.process.pid, os.SCHED_FIFO, os.sched_param(50))
            self.realtime = True
        except OSError:
            self.realtime = False

    def ask(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().split()

    def wait(self, question, done, timeout=5.0):
        deadline = time.monotonic() + timeout
        while True:
            answer = self.ask(question)
            if done(answer) or time.monotonic() > deadline:
                return answer
            time.sleep(0.005)

    def close(self):
        self.process.stdin.close()
        self.process.wait(10)


def one_death(build: Path, device: Device):
    """Milliseconds from the kill to the zero on the wire, or None when none came."""
    program = subprocess.Popen(
        [sys.executable, str(TESTS / "dying_program.py"), str(build), device.path, "wait"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        if program.stdout.readline().strip() != "ready":
            return None
        device.wait("last", lambda answer: answer[0] == "6.0")
        killed = time.monotonic()
        os.kill(program.pid, signal.SIGKILL)
        answer = device.wait("zero_after %r" % killed, lambda answer: answer != ["none"])
    finally:
        program.kill()
        program.wait()
    # The dead program's guardian lets go of the port once it has read the reply.
    time.sleep(0.1)
    return None if answer == ["none"] else 1e3 * (float(answer[0]) - killed)


def measure(build: Path, smoke: bool) -> dict:
    deaths = DEATHS[smoke]
    device = Device()
    try:
        latencies = [one_death(build, device) for _ in range(deaths)]
        realtime = device.realtime
    finally:
        device.close()
    came = sorted(ms for ms in latencies if ms is not None)
    at = lambda q: came[min(len(came) - 1, int(q * len(came)))] if came else None  # noqa: E731
    return {"deaths": deaths, "zero_missing": deaths - len(came), "p50_ms": at(0.5),
            "p99_ms": at(0.99), "max_ms": came[-1] if came else None, "target_ms": TARGET_MS,
            "device_realtime": realtime}


def table(figures: dict) -> str:
    if not figures["p50_ms"]:
        return "guardian: no zero came after any of %d deaths" % figures["deaths"]
    return ("guardian: SIGKILL to zero force on the wire over %d deaths: p50 %.2f ms, p99 %.2f ms, "
            "max %.2f ms (target %.0f ms); %d without a zero; device %s"
            % (figures["deaths"], figures["p50_ms"], figures["p99_ms"], figures["max_ms"],
               figures["target_ms"], figures["zero_missing"],
               "real-time" if figures["device_realtime"] else "in the normal class"))


def problems(figures: dict) -> list:
    if figures["zero_missing"]:
        return ["guardian: %d of %d deaths left no zero force on the wire"
                % (figures["zero_missing"], figures["deaths"])]
    return []
