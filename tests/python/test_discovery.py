"""Discovery from Python: the four scan functions over /dev, with devices linked in for the test."""

import os
import subprocess
import sys
import threading
import time
import uuid

import pytest

from conftest import PtyPair

SCANS = [
    ("detect_corvanes", "detect available corvane devices"),
    ("detect_handles", "detect available handles"),
    ("detect_wired_handles", "detect available wired handles"),
    ("detect_wireless_handles", "detect available wireless handles"),
]

needs_dev = pytest.mark.skipif(not os.access("/dev", os.W_OK), reason="links in /dev need root")

# A device in a process of its own: the scans keep the interpreter lock, so a responder thread
# in this interpreter could not answer in time.
RESPONDER = """
import os, select, sys, time
fd, request, reply = int(sys.argv[1]), bytes.fromhex(sys.argv[2]), bytes.fromhex(sys.argv[3])
got = b""
deadline = time.monotonic() + 10
while len(got) < len(request) and time.monotonic() < deadline:
    if select.select([fd], [], [], 0.1)[0]:
        got += os.read(fd, len(request) - len(got))
if got == request:
    os.write(fd, reply)
"""


class LinkedDevice:
    """A pty linked into /dev under a name of the wanted kind, answering the wake-up once."""

    def __init__(self, word, reply):
        self.pty = PtyPair()
        self.link = "/dev/%s-orvex-test-%s" % (word, uuid.uuid4().hex[:8])
        os.symlink(self.pty.path, self.link)
        self.responder = subprocess.Popen(
            [sys.executable, "-c", RESPONDER, str(self.pty.master), "0a", reply.hex()],
            pass_fds=[self.pty.master])

    def close(self):
        self.responder.wait(timeout=15)
        os.unlink(self.link)
        self.pty.close()


@pytest.fixture
def linked():
    devices = []

    def make(word, reply):
        devices.append(LinkedDevice(word, reply))
        return devices[-1]

    yield make
    for device in devices:
        device.close()


@pytest.mark.parametrize("name, doc", SCANS)
def test_scans_are_documented_and_return_lists_of_str(orvex, name, doc):
    scan = getattr(orvex, name)
    assert scan.__doc__.splitlines()[-1] == doc
    result = scan()
    assert isinstance(result, list) and all(isinstance(p, str) for p in result)


@needs_dev
def test_devices_are_found_by_kind_and_port_name(orvex, linked):
    arm = linked("ttyACM", bytes([11, 0x2C, 0x01, 4, 2, 7]) + bytes(16))
    wired = linked("ttyUSB", bytes([208, 3, 0x2C, 0x01, 9, 1, 2]))
    wireless = linked("rfcomm", bytes([218, 1, 0]) + bytes(16) + bytes([0, 0, 0]))
    assert orvex.detect_corvanes() == [os.path.realpath(arm.link)]
    assert orvex.detect_wired_handles() == [os.path.realpath(wired.link)]
    assert orvex.detect_wireless_handles() == [os.path.realpath(wireless.link)]


@needs_dev
def test_scan_keeps_the_interpreter_lock(orvex, linked):
    linked("ttyACM", b"")  # heard, never answered: the probe waits out one read
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    ticker = threading.Thread(target=tick)
    ticker.start()
    time.sleep(0.05)
    started = time.monotonic()
    assert orvex.detect_corvanes() == []
    ended = time.monotonic()
    stop.set()
    ticker.join()
    assert ended - started >= 0.9
    assert not [t for t in ticks if started + 0.1 < t < ended - 0.1]


@needs_dev
def test_dangling_link_raises_runtime_error_for_every_scan(orvex):
    link = "/dev/rfcomm-orvex-dangling-%s" % uuid.uuid4().hex[:8]
    os.symlink("/dev/orvex-nowhere-%s" % uuid.uuid4().hex, link)
    try:
        for name, _ in SCANS:
            with pytest.raises(RuntimeError):
                getattr(orvex, name)()
    finally:
        os.unlink(link)
