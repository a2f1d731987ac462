"""Which ports the desk may open: device ports, never any other terminal.

A device port is one discovery would look at (an entry of /dev whose name holds ttyACM, ttyUSB
or rfcomm), one a scan found a device on, or one the person starting the desk allowed. Ports are
compared by device number, not by name, so neither a link nor a device node made elsewhere under
a device port's name can bring in another terminal (a shell's pseudo-terminal, say).
"""

import json
import os
import stat
import threading
from typing import Iterable, List, Set

from .requests import Refused

DEVICE_WORDS = ("ttyACM", "ttyUSB", "rfcomm")
DEVICES_DIR = "/dev"


def device_number(port: str) -> int:
    """The device number of a character device port, links followed."""
    try:
        status = os.stat(port)
    except OSError:
        raise Refused(404, "no port %s" % port) from None
    except ValueError:  # a NUL, or a text no file name can be
        raise Refused(400, "%s cannot name a port" % json.dumps(port)[:80]) from None
    if not stat.S_ISCHR(status.st_mode):
        raise Refused(400, "%s is not a serial port" % port)
    return status.st_rdev


def _numbers(paths: Iterable[str]) -> Set[int]:
    numbers = set()
    for path in paths:
        try:
            status = os.stat(path)
        except OSError:
            continue  # unplugged since: nothing to allow
        if stat.S_ISCHR(status.st_mode):
            numbers.add(status.st_rdev)
    return numbers


def device_ports(directory: str = DEVICES_DIR) -> List[str]:
    try:
        names = os.listdir(directory)
    except OSError:
        return []
    return [os.path.join(directory, name) for name in names
            if any(word in name for word in DEVICE_WORDS)]


class PortRules:
    def __init__(self, allowed: Iterable[str] = (), devices_dir: str = DEVICES_DIR):
        self._allowed = list(allowed)       # --allow-port, and the emulator's ports
        self._found: List[str] = []         # what the last scan found
        self._devices_dir = devices_dir
        self._lock = threading.Lock()

    def found(self, ports: Iterable[str]) -> None:
        with self._lock:
            self._found = list(ports)

    def check(self, port: str) -> int:
        """The port's device number, when the desk may open it; Refused otherwise. Looked up
        afresh each time: devices come and go, and their numbers are reused."""
        number = device_number(port)
        with self._lock:
            paths = self._allowed + self._found
        if number in _numbers(paths + device_ports(self._devices_dir)):
            return number
        raise Refused(403, "%s is not a device port: the desk opens ttyACM, ttyUSB and rfcomm"
                      " ports and those a scan found; start it with --allow-port %s for"
                      " another" % (port, port))
