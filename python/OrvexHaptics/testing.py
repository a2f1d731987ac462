"""Emulated devices, with an operator's hand on the arm, for a haptic program's own tests.

The emulator stands in for a Corvane (and handles, if asked) on pseudo-terminals. A hand holds the
arm's end effector as a spring-damper pulling towards a target, plus a push: its force moves the
arm beside the force the program commands, and never travels on the line, so what the program
reads is what a person's hand did to the arm. The ground truth (where the arm really is, the
hand's force, the commanded force as applied) is read from the hand or from a file written every
millisecond.

In a test suite, name the plugin once in conftest.py:

    pytest_plugins = ["OrvexHaptics.testing"]

and take the fixture:

    def test_my_wall(orvex_emulator):
        loop = OrvexHaptics.ServoLoop(orvex_emulator.corvane, rate_hz=1000)
        ...
        orvex_emulator.hand.push((2, 0, 0))

`@pytest.mark.orvex_emulator(handles=1, mass=1.0)` passes options to `start_emulator`.
"""

import csv
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Dict, List, NamedTuple, Optional, Sequence, Tuple

Vector = Tuple[float, float, float]

__all__ = ["EmulatedDevices", "Hand", "HandError", "Truth", "find_emulator", "start_emulator",
           "orvex_emulator"]


class HandError(RuntimeError):
    """The emulator refused a request to the hand; the message names the field at fault."""


class Truth(NamedTuple):
    """The arm as it is, not as the line reports it."""
    time: float          # s since the emulator started
    position: Vector     # m
    velocity: Vector     # m/s
    hand_force: Vector   # N: the hand's whole force on the arm
    force: Vector        # N: the commanded force as the motors apply it
    holding: bool        # the hand holds the arm


def _vector(values: Sequence[float]) -> Vector:
    x, y, z = (float(v) for v in values)
    return (x, y, z)


class Hand:
    """The operator's hand on one emulated Corvane, driven through the emulator's control socket.
    Each call returns the ground truth just after it took effect."""

    # The target slides in steps this far apart in time.
    STEP_S = 0.005

    def __init__(self, socket_path: str):
        self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._socket.connect(socket_path)
        self._file = self._socket.makefile("rw", encoding="utf-8", newline="\n")
        self._target: Optional[Vector] = None

    def _ask(self, **request) -> Truth:
        self._file.write(json.dumps(request) + "\n")
        self._file.flush()
        line = self._file.readline()
        if not line:
            raise HandError("the emulator closed the hand's control socket")
        reply = json.loads(line)
        if "error" in reply:
            raise HandError(reply["error"])
        return Truth(reply["time"], _vector(reply["position"]), _vector(reply["velocity"]),
                     _vector(reply["hand_force"]), _vector(reply["force"]), reply["holding"])

    def move_to(self, target: Sequence[float], within_s: float = 0.0) -> Truth:
        """Takes hold of the arm and carries the hand's target to `target` (m) in a straight line
        at an even speed over `within_s` seconds (at once for 0), returning when it is there. The
        arm follows with the grip's lag."""
        end = _vector(target)
        start = self._target if self._target is not None else self.truth().position
        began = time.monotonic()
        while True:
            share = 1.0 if within_s <= 0 else min((time.monotonic() - began) / within_s, 1.0)
            point = tuple(a + share * (b - a) for a, b in zip(start, end))
            truth = self._ask(move_to=point)
            self._target = _vector(point)
            if share >= 1.0:
                return truth
            time.sleep(self.STEP_S)

    def push(self, force: Sequence[float]) -> Truth:
        """A steady push (N) beside the grip, held until changed or released."""
        return self._ask(push=[float(f) for f in force])

    def release(self) -> Truth:
        """Lets go of the arm: no grip, no push."""
        self._target = None
        return self._ask(release=True)

    def impedance(self, stiffness: float, damping: float) -> Truth:
        """The grip's stiffness (N/m) and damping (N s/m)."""
        return self._ask(stiffness=float(stiffness), damping=float(damping))

    def truth(self) -> Truth:
        return self._ask(truth=True)

    def settle(self, timeout_s: float = 5.0, speed: float = 1e-4, still_s: float = 0.2) -> Truth:
        """Waits until the arm has moved slower than `speed` (m/s) for `still_s` seconds of its
        own time, and returns the truth then; TimeoutError past `timeout_s`."""
        deadline = time.monotonic() + timeout_s
        since = None
        while True:
            truth = self.truth()
            if max(abs(v) for v in truth.velocity) >= speed:
                since = None
            elif since is None:
                since = truth.time
            elif truth.time - since >= still_s:
                return truth
            if time.monotonic() > deadline:
                raise TimeoutError("the arm still moves at %s m/s" % (truth.velocity,))
            time.sleep(0.01)

    def close(self) -> None:
        self._file.close()
        self._socket.close()


def find_emulator() -> str:
    """$ORVEX_EMULATOR, else the emulator installed with this package, else the one of the build
    folder this module was built in, else orvex-emulator on PATH."""
    here = Path(__file__).resolve().parent
    candidates = [os.environ.get("ORVEX_EMULATOR"), str(here / "orvex-emulator"),
                  str(here.parent / "tools" / "emulator" / "orvex-emulator"),
                  shutil.which("orvex-emulator")]
    for candidate in candidates:
        if candidate and os.access(candidate, os.X_OK) and Path(candidate).is_file():
            return candidate
    raise FileNotFoundError("orvex-emulator not found: build it, or name it in $ORVEX_EMULATOR")


def read_truth(path: str) -> Dict[str, List[float]]:
    """A truth file as columns: time, x, y, z, vx, vy, vz, hand_fx.., fx.."""
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    return {name: [float(row[i]) for row in rows[1:] if len(row) == len(rows[0])]
            for i, name in enumerate(rows[0])}


class EmulatedDevices:
    """A running emulator: its devices' ports, and the hand on each Corvane."""

    def __init__(self, process: subprocess.Popen, folder: str, ports: List[Tuple[str, str]],
                 hands: List[Hand], truth_paths: List[str]):
        self.process = process
        self.folder = folder
        self.ports = ports
        self.corvanes = [path for kind, path in ports if kind == "corvane"]
        self.handles = [path for kind, path in ports if kind == "handle"]
        self.hands = hands
        self.truth_paths = truth_paths

    @property
    def corvane(self) -> str:
        return self.corvanes[0]

    @property
    def handle(self) -> str:
        return self.handles[0]

    @property
    def hand(self) -> Hand:
        return self.hands[0]

    def truth(self, index: int = 0) -> Truth:
        return self.hands[index].truth()

    def truth_file(self, index: int = 0) -> Dict[str, List[float]]:
        """What the emulator wrote so far of a Corvane's truth, a row each millisecond."""
        return read_truth(self.truth_paths[index])

    def stop(self) -> int:
        for hand in self.hands:
            hand.close()
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)
        return self.process.returncode

    def __enter__(self) -> "EmulatedDevices":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()


_ARM_OPTIONS = {"mass": "--mass", "damping": "--damping", "max_force": "--max-force",
                "workspace": "--workspace"}


def start_emulator(corvanes: int = 1, handles: int = 0, stream_hz: float = 0,
                   program: Optional[str] = None, extra: Sequence[str] = (),
                   realtime: bool = True, **arm) -> EmulatedDevices:
    """Starts the emulator with `corvanes` arms, each held by a hand (its control socket) and
    logging its truth, and `handles` handles streaming at `stream_hz` (0: only when asked).
    `mass`, `damping`, `max_force` and `workspace` set every arm's figures; `extra` goes to the
    command line as given. With `realtime`, the devices answer from the real-time scheduling
    class where the system allows, as hardware answers however loaded the machine is. Stop it with stop(), or use it in a with block."""
    unknown = set(arm) - set(_ARM_OPTIONS)
    if unknown:
        raise TypeError("start_emulator() has no option %s (arm options: %s)"
                        % (", ".join(sorted(unknown)), ", ".join(_ARM_OPTIONS)))
    # A short folder of its own: a socket's path holds at most 107 bytes.
    folder = tempfile.mkdtemp(prefix="orvex-")
    arguments, sockets, truths = ["--realtime"] if realtime else [], [], []
    for i in range(corvanes):
        sockets.append(os.path.join(folder, "hand%d.sock" % i))
        truths.append(os.path.join(folder, "truth%d.csv" % i))
        arguments += ["--corvane", "--control", sockets[-1], "--truth", truths[-1]]
        for name, value in arm.items():
            arguments += [_ARM_OPTIONS[name], repr(float(value))]
    for _ in range(handles):
        arguments += ["--handle", "--stream", repr(float(stream_hz))]
    errors_path = os.path.join(folder, "stderr.txt")
    with open(errors_path, "w") as errors:
        process = subprocess.Popen([program or find_emulator(), *arguments, *extra],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=errors,
                                   text=True)
    ports = []
    for _ in range(corvanes + handles):
        line = process.stdout.readline().split()
        if len(line) != 2:
            process.kill()
            process.wait()
            said = Path(errors_path).read_text().strip()
            shutil.rmtree(folder, ignore_errors=True)
            raise RuntimeError("the emulator did not start: " + (said or "no reason given"))
        ports.append((line[0], line[1]))
    return EmulatedDevices(process, folder, ports, [Hand(path) for path in sockets], truths)


try:
    import pytest
except ImportError:  # the fixture is for pytest users; the rest works without it
    pytest = None

if pytest is not None:
    def pytest_configure(config):
        config.addinivalue_line(
            "markers", "orvex_emulator(**options): options of start_emulator for the "
                       "orvex_emulator fixture")

    @pytest.fixture
    def orvex_emulator(request):
        """A running emulator with one Corvane and the hand on it, stopped after the test."""
        marker = request.node.get_closest_marker("orvex_emulator")
        devices = start_emulator(**(marker.kwargs if marker else {}))
        yield devices
        devices.stop()
