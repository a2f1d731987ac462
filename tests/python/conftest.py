"""Shared fixtures: the built module, and pseudo-terminals and the emulator that stand in for
devices."""

import os
import select
import subprocess
import sys
import termios
import time
import tty
from pathlib import Path

import pytest

MODULE_DIR = Path(os.environ.get("ORVEX_MODULE_DIR", Path(__file__).resolve().parents[2] / "build"))
sys.path.insert(0, str(MODULE_DIR))


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: takes several seconds; script/test --quick leaves it out")


class PtyPair:
    """The test holds the master side; the library opens `path` like a real port."""

    def __init__(self):
        self.master, self._slave = os.openpty()
        self.path = os.ttyname(self._slave)
        tty.setraw(self._slave)
        attrs = termios.tcgetattr(self._slave)
        attrs[6][termios.VMIN] = 0
        attrs[6][termios.VTIME] = 0
        termios.tcsetattr(self._slave, termios.TCSANOW, attrs)
        os.set_blocking(self.master, False)

    def send(self, data: bytes) -> None:
        view = memoryview(data)
        while view:
            view = view[os.write(self.master, view):]

    def receive(self, n: int, timeout: float = 2.0) -> bytes:
        """Up to n bytes the library wrote, waiting at most `timeout` for them all."""
        got = b""
        deadline = time.monotonic() + timeout
        while len(got) < n:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            try:
                got += os.read(self.master, n - len(got))
            except OSError:
                break
        return got

    def drain(self, window: float = 0.05) -> bytes:
        return self.receive(1 << 20, window)

    def line_settings(self):
        return termios.tcgetattr(self._slave)

    def close(self) -> None:
        for fd in (self.master, self._slave):
            try:
                os.close(fd)
            except OSError:
                pass


EMULATOR = MODULE_DIR / "tools" / "emulator" / "orvex-emulator"


class Emulator:
    """The emulator as a subprocess; it ends when its standard input closes."""

    def __init__(self, *args):
        self.process = subprocess.Popen([str(EMULATOR), *args], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True)
        self.ports = []
        for _ in range(sum(arg in ("--corvane", "--handle") for arg in args)):
            kind, path = self.process.stdout.readline().split()
            self.ports.append((kind, path))

    def path(self, index):
        return self.ports[index][1]

    def stop(self):
        self.process.stdin.close()
        return self.process.wait(timeout=10)


@pytest.fixture
def emulator():
    started = []

    def start(*args):
        started.append(Emulator(*args))
        return started[-1]

    yield start
    for running in started:
        if running.process.poll() is None:
            running.stop()


@pytest.fixture
def pty_pair():
    pair = PtyPair()
    yield pair
    pair.close()


@pytest.fixture(scope="session")
def orvex():
    import OrvexHardwareAPI

    return OrvexHardwareAPI


@pytest.fixture(scope="session")
def haptics(orvex):
    import OrvexHaptics

    return OrvexHaptics


def statuses(handle):
    """The arguments of the status messages a Recorder got, in order."""
    return [args for kind, args in handle.calls if kind == "status"]


@pytest.fixture(scope="session")
def Recorder(orvex):
    """A Handle subclass that keeps every callback it gets, in order, as (kind, arguments)."""

    class Recorder(orvex.Handle):
        def __init__(self, stream):
            super().__init__(stream)
            self.calls = []

        def OnReceiveHandleInfo(self, *args):
            self.calls.append(("info", args))

        def OnReceiveHandleStatusMessage(self, *args):
            self.calls.append(("status", args))

        def OnReceiveHandleErrorResponse(self, *args):
            self.calls.append(("error", args))

    return Recorder
