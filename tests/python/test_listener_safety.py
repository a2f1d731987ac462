"""The handle listener on a faulty line and across a pulled cable, against the emulator: nothing
implausible is delivered, and a handle that comes back on its link is adopted only when it is the
same handle."""

import math
import os
import struct
import time

import pytest

FAULT_SECONDS = float(os.environ.get("ORVEX_FAULT_SECONDS", "5"))


def wait_until(condition, timeout):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


@pytest.mark.parametrize("fault", ["--garble", "--drop", "--truncate"])
def test_a_faulty_line_never_delivers_garbage(orvex, haptics, emulator, fault):
    device = emulator("--seed", "3", fault, "0.01", "--handle", "--device-id", "300",
                      "--stream", "500")
    listener = haptics.HandleListener(orvex.SerialStream(device.path(0)), reconnect=True)
    delivered = []
    with listener:
        listener.wakeup()
        deadline = time.monotonic() + FAULT_SECONDS
        while time.monotonic() < deadline:
            delivered += listener.messages(timeout=0.1)
        stats = listener.stats()
        assert listener.running and stats["stop_reason"] is None
    statuses = [m for m in delivered if m["kind"] == "status"]
    # A bad message costs itself and perhaps the one after it, never the line: nearly all of the
    # 500 a second the handle sends come through.
    assert len(statuses) > 400 * FAULT_SECONDS
    for status in statuses:
        assert status["device_id"] == 300
        assert abs(math.sqrt(sum(q * q for q in status["quaternion"])) - 1) <= 0.05
    assert stats["refused"] + stats["unknown"] > 0 or fault == "--drop"


@pytest.mark.parametrize("device_id, adopted", [("300", True), ("301", False)])
def test_a_handle_back_on_its_link_is_adopted_when_it_is_the_same(orvex, haptics, emulator,
                                                                  tmp_path, device_id, adopted):
    link = str(tmp_path / "rfcomm-safety")
    first = emulator("--handle", "--link", link, "--device-id", "300", "--stream", "100")
    listener = haptics.HandleListener(orvex.SerialStream(link), reconnect=True)
    listener.start()
    listener.wakeup()
    assert wait_until(lambda: listener.info() is not None, 5)
    first.process.kill()
    first.process.wait()
    emulator("--handle", "--link", link, "--device-id", device_id, "--stream", "100")
    back = time.monotonic()
    came_back = wait_until(lambda: listener.stats()["reconnects"] == 1, 3)
    assert came_back == adopted
    if adopted:
        assert time.monotonic() - back < 2.0
        listener.messages()
        assert wait_until(lambda: listener.messages(), 2)
    else:
        assert all(m["device_id"] == 300 for m in listener.messages())
    assert listener.running
    asked = time.monotonic()
    listener.stop()
    assert time.monotonic() - asked < 0.5
    assert listener.stats()["stop_reason"] == "stop"


def test_a_reconnecting_listener_says_which_handle_answered_and_gives_up_when_told(
        orvex, haptics, emulator, tmp_path):
    link = str(tmp_path / "rfcomm-give-up")
    first = emulator("--handle", "--link", link, "--device-id", "300", "--stream", "100")
    listener = haptics.HandleListener(orvex.SerialStream(link), reconnect=True, give_up_s=2.0)
    listener.start()
    listener.wakeup()
    assert wait_until(lambda: listener.info() is not None, 5)
    first.process.kill()
    first.process.wait()
    emulator("--handle", "--link", link, "--device-id", "301", "--stream", "100")
    assert wait_until(
        lambda: listener.stats()["reconnect_refusal"] == "another handle, device id 301", 3)
    assert wait_until(lambda: not listener.running, 4)
    stats = listener.stats()
    assert stats["stop_reason"] == "gave up reconnecting" and stats["reconnects"] == 0
    listener.stop()


def test_a_status_far_from_a_unit_quaternion_or_from_another_device_is_refused(orvex, haptics,
                                                                                pty_pair):
    listener = haptics.HandleListener(orvex.SerialStream(pty_pair.path))
    with listener:
        pty_pair.send(bytes([0xD0, 5]) + struct.pack("<H", 300) + bytes([2, 3, 4]))
        for device_id, quaternion in [(300, (-4.8e32, 0, 0, 0)), (17, (1, 0, 0, 0)),
                                      (300, (float("nan"), 0, 0, 0)), (300, (1, 0, 0, 0))]:
            pty_pair.send(struct.pack("<BHBB4fB", 0xDA, device_id, 0, 0, *quaternion, 0))
        assert wait_until(lambda: listener.stats()["status"] + listener.stats()["refused"] >= 4, 5)
        stats = listener.stats()
    assert stats["refused"] == 3 and stats["status"] == 1
    assert listener.latest()["quaternion"] == (1.0, 0.0, 0.0, 0.0)
