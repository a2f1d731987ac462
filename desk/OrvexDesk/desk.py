"""The desk's devices, who holds each, its message log and the sampler that turns them into
live frames.

One hand on each device: the page that opened a device, or first changed one nobody held, holds
it; only it changes the device and only its heartbeat keeps the device's forces on. Another page
sees the device and takes it over only by asking to (the holder's page shows that at once), or
once the holder's page is gone. Any page may stop a loop: that only lets go of the arm."""

import json
import os
import subprocess
import sys
import threading
import time
from typing import Any, Dict, Iterable, List, Optional, Union

from .broadcast import Broadcast
from . import corvane_session
from .corvane_session import CorvaneSession
from .handle_session import HandleSession
from .message_log import MessageLog
from .pages import Page
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
    def __init__(self, max_force: float, allowed_ports: Iterable[str] = (),
                 max_force_step: float = corvane_session.MAX_FORCE_STEP):
        self.max_force = max_force
        self.max_force_step = max_force_step
        self.ports = PortRules(allowed_ports)
        self.log = MessageLog()
        self.broadcast = Broadcast()
        self._sessions: Dict[str, Session] = {}
        self._taken: Dict[int, str] = {}  # device number of each open port: its session
        self._holders: Dict[str, Page] = {}  # each held device's page
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

    def open(self, kind: str, port: str, page: Optional[Page] = None) -> Session:
        """Opens the port as that kind of device, held by `page` (by nobody when None)."""
        if kind not in self._counts:
            raise Refused(400, "kind must be \"corvane\" or \"handle\", not %s" % json.dumps(kind)[:60])
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
            session: Session = (CorvaneSession(name, port, self.log, self.max_force,
                                               self.max_force_step)
                                if kind == "corvane" else HandleSession(name, port, self.log))
        except BaseException as error:
            with self._lock:
                del self._taken[number]
            if isinstance(error, (OSError, RuntimeError, ValueError)):
                # The port is a terminal but no such device answered there as it should.
                raise Refused(422, "no %s answered on %s: %s"
                              % ("Corvane" if kind == "corvane" else "handle", port, error)) from None
            raise
        with self._lock:
            self._sessions[name] = session
            if page is not None:
                self._holders[name] = page
        return session

    def name_at(self, port: str) -> Optional[str]:
        """The device open at `port`, if one is."""
        try:
            number = self.ports.check(port)
        except Refused:
            return None
        with self._lock:
            return self._taken.get(number)

    def holder(self, name: str) -> Optional[Page]:
        """The page holding the device, if that page is still there."""
        with self._lock:
            page = self._holders.get(name)
        return page if page is not None and page.alive else None

    def written(self, name: str, page: Page) -> Session:
        """The device, for a page about to change it: the one that holds it, or takes it since
        no page that is still there does."""
        session = self.session(name)
        with self._lock:
            held = self._holders.get(name)
            if held is not None and held is not page and held.alive:
                raise Refused(409, "%s is held by another page (%s); take it over to change it"
                              % (name, held.id))
            self._holders[name] = page
        return session

    def take_over(self, name: str, page: Page) -> Session:
        session = self.session(name)
        with self._lock:
            before = self._holders.get(name)
            self._holders[name] = page
        if before is not page:
            self.log.note(name, "taken over by %s%s" % (page.id, "" if before is None
                                                       else " from %s" % before.id))
        return session

    def describe(self, session: Session) -> Dict[str, Any]:
        holder = self.holder(session.name)
        return dict(session.describe(), holder=holder.id if holder else None)

    def close(self, name: str) -> None:
        with self._lock:
            session = self._sessions.pop(name, None)
            self._holders.pop(name, None)
        if session is None:
            raise Refused(404, "no device %s on the desk" % name)
        session.close()
        with self._lock:
            self._taken = {number: owner for number, owner in self._taken.items() if owner != name}
        self.log.note(name, "closed")

    def feed(self, page: Page) -> List[str]:
        """The page's script is alive: the loops of the devices it holds may keep their forces
        for another second. The devices fed."""
        with self._lock:
            held = [self._sessions[name] for name, holder in self._holders.items()
                    if holder is page and name in self._sessions]
        for session in held:
            session.feed()
        return [session.name for session in held]

    def scan(self) -> Dict[str, List[str]]:
        self.log.note("desk", "scanning for devices")
        done = subprocess.run([sys.executable, "-c", SCAN_PROGRAM], capture_output=True,
                              text=True, timeout=SCAN_TIMEOUT_S,
                              env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
        if done.returncode != 0:
            raise Refused(502, "discovery failed: %s" % done.stderr.strip().splitlines()[-1:])
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

    def _sample(self, session: Session) -> Dict[str, Any]:
        holder = self.holder(session.name)
        try:
            frame = session.sample()
        except Exception as error:  # a sampler that dies would freeze every page
            frame = dict(session.describe(), sample_error=str(error))
        return dict(frame, holder=holder.id if holder else None)
