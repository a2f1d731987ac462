"""The desk's devices, its message log and the sampler that turns them into live frames."""

import json
import os
import subprocess
import sys
import threading
import time
from typing import Any, Dict, Iterable, List, Union

from .broadcast import Broadcast
from .corvane_session import CorvaneSession
from .handle_session import HandleSession
from .message_log import MessageLog
from .ports import PortRules
from .requests import Refused

SAMPLE_PERIOD_S = 1 / 30
SCAN_TIMEOUT_S = 120.0

# Discovery keeps the interpreter lock for the whole scan, seconds per silent port: run in a
# process of its own, it leaves the page's live view and the watchdog feeding undisturbed.
SCAN_PROGRAM = """
import json, OrvexHardwareAPI as orvex
print(json.dumps({"corvanes": orvex.detect_corvanes(), "handles": orvex.detect_handles()}))
"""

Session = Union[CorvaneSession, HandleSession]


class Desk:
    def __init__(self, max_force: float, allowed_ports: Iterable[str] = ()):
        self.max_force = max_force
        self.ports = PortRules(allowed_ports)
        self.log = MessageLog()
        self.broadcast = Broadcast()
        self._sessions: Dict[str, Session] = {}
        self._taken: Dict[int, str] = {}  # device number of each open port: its session
        self._counts = {"corvane": 0, "handle": 0}
        self._lock = threading.Lock()
        self._sampler = threading.Thread(target=self._sample_forever, name="desk sampler",
                                         daemon=True)
        self._sampler.start()

    def sessions(self) -> List[Session]:
        with self._lock:
            return list(self._sessions.values())

    def session(self, name: str) -> Session:
        with self._lock:
            found = self._sessions.get(name)
        if found is None:
            raise Refused(404, "no device %s on the desk" % name)
        return found

    def open(self, kind: str, port: str) -> Session:
        if kind not in self._counts:
            raise Refused(400, "kind must be \"corvane\" or \"handle\", not %s" % json.dumps(kind))
        number = self.ports.check(port)
        # The port is taken before the wake-up: two opens at once must not both reach it.
        with self._lock:
            if number in self._taken:
                raise Refused(409, "%s is already open on the desk" % port)
            self._counts[kind] += 1
            name = "%s-%d" % (kind, self._counts[kind])
            self._taken[number] = name
        try:
            self.log.note(name, "opening %s" % port)
            session: Session = (CorvaneSession(name, port, self.log, self.max_force)
                                if kind == "corvane" else HandleSession(name, port, self.log))
        except BaseException:
            with self._lock:
                del self._taken[number]
            raise
        with self._lock:
            self._sessions[name] = session
        return session

    def close(self, name: str) -> None:
        with self._lock:
            session = self._sessions.pop(name, None)
        if session is None:
            raise Refused(404, "no device %s on the desk" % name)
        session.close()
        with self._lock:
            self._taken = {number: owner for number, owner in self._taken.items() if owner != name}
        self.log.note(name, "closed")

    def feed(self) -> None:
        """The page's script is alive: its loops may keep their forces for another second."""
        for session in self.sessions():
            session.feed()

    def scan(self) -> Dict[str, List[str]]:
        self.log.note("desk", "scanning for devices")
        done = subprocess.run([sys.executable, "-c", SCAN_PROGRAM], capture_output=True,
                              text=True, timeout=SCAN_TIMEOUT_S,
                              env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
        if done.returncode != 0:
            raise Refused(500, "discovery failed: %s" % done.stderr.strip().splitlines()[-1:])
        found = json.loads(done.stdout.strip().splitlines()[-1])
        self.ports.found(found["corvanes"] + found["handles"])
        self.log.note("desk", "found Corvanes %s, handles %s" % (found["corvanes"], found["handles"]))
        return found

    def shutdown(self) -> None:
        self.broadcast.close()
        self._sampler.join()
        for session in self.sessions():
            session.close()

    def _sample_forever(self) -> None:
        seen = 0
        next_at = time.monotonic()
        while not self.broadcast.closed:
            frame: Dict[str, Any] = {"time": time.time(),
                                     "devices": [self._sample(s) for s in self.sessions()]}
            frame["log"] = self.log.after(seen)
            if frame["log"]:
                seen = frame["log"][-1]["seq"]
            self.broadcast.publish(frame)
            next_at += SAMPLE_PERIOD_S
            time.sleep(max(0.0, next_at - time.monotonic()))
            next_at = max(next_at, time.monotonic() - SAMPLE_PERIOD_S)

    @staticmethod
    def _sample(session: Session) -> Dict[str, Any]:
        try:
            return session.sample()
        except Exception as error:  # a sampler that dies would freeze every page
            return dict(session.describe(), sample_error=str(error))
