"""The bench's two helper processes: the stand-in devices, and the C++ contenders."""

import json
import subprocess
from pathlib import Path


class StandInDevices:
    """Instantly answering Corvanes (one unless asked for more) and a streaming handle, each on a
    pty of its own; with `realtime`, served in a real-time scheduling class where granted."""

    def __init__(self, programs: Path, corvanes: int = 1, realtime: bool = False):
        self._process = subprocess.Popen(
            [str(programs / "orvex_bench_device"), str(corvanes)] + (["realtime"] if realtime else []),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        lines = [self._process.stdout.readline().split() for _ in range(corvanes + 1 + realtime)]
        self.corvane_ports = [path for kind, path in lines if kind == "corvane"]
        self.corvane_port = self.corvane_ports[0]
        self.handle_port = dict(lines)["handle"]
        self.realtime = dict(lines).get("realtime") == "granted"

    def close(self):
        self._process.stdin.close()
        self._process.wait(timeout=10)


class CppContenders:
    """The C++ contenders' process; each request runs there and answers with one JSON line."""

    names = ("floor_cpp", "library_cpp", "handle_receive_cpp")

    def __init__(self, programs: Path, devices: StandInDevices):
        self._process = subprocess.Popen(
            [str(programs / "orvex_bench"), devices.corvane_port, devices.handle_port],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        # Its ports' opening flushes would swallow replies meant for contenders already exchanging.
        self._answer("start")

    def _answer(self, request: str) -> dict:
        line = self._process.stdout.readline()
        if not line:
            raise RuntimeError("the C++ contenders' process ended on: " + request)
        return json.loads(line)

    def _ask(self, request: str) -> dict:
        self._process.stdin.write(request + "\n")
        self._process.stdin.flush()
        return self._answer(request)

    def round(self, name: str, exchanges: int) -> dict:
        return self._ask(f"{name} {exchanges}")

    def silent_wait(self) -> dict:
        return self._ask("silent_wait")["silent_wait"]

    def counter_check(self) -> dict:
        return self._ask("counter_check")["counter_check"]

    def servo_allocations(self, seconds: float) -> dict:
        return self._ask(f"servo_allocations {seconds}")["servo_allocations"]

    def law_costs(self, cycles: int) -> dict:
        return self._ask(f"law_costs {cycles}")["law_costs"]

    def close(self):
        self._process.stdin.close()
        self._process.wait(timeout=10)
