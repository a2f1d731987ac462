"""Remote ports: the emulator's devices reached through a socat relay over TCP on the loopback
address, the way a device on another machine is reached. The device's bytes cross the connection
five at a time, half a millisecond apart, so every reply reaches the program in pieces across
several reads."""

import math
import time
import uuid

import pytest

from conftest import statuses
from relay import SOCAT, Relay

pytestmark = pytest.mark.skipif(SOCAT is None,
                                reason="socat is not installed (script/bootstrap installs it)")

PIECES = (5, 0.0005)  # bytes, seconds apart: several polls of the port between two pieces


@pytest.fixture
def relayed(emulator, tmp_path):
    """Starts the emulator with the given arguments and gives the relayed path of its first port."""
    relays = []

    def start(*args):
        device = emulator(*args)
        relays.append(Relay(device.path(0), tmp_path / "remote-port", trickle=PIECES))
        return relays[-1].path

    yield start
    for relay in relays:
        relay.close()


def test_corvane_exchanges_decode_exactly_from_pieces(orvex, relayed, capfd):
    chosen = uuid.UUID("00112233-4455-6677-8899-aabbccddeeff")
    arm = orvex.Corvane(orvex.SerialStream(relayed("--corvane", "--uuid", chosen.hex,
                                                   "--device-id", "300")))
    for _ in range(20):
        info = arm.device_wakeup_dict()
        assert (info["device_model_number"], info["device_id"], info["device_id_ext"]) == (
            4, 300, chosen)

    # A reply decoded from misjoined pieces gives wild floats: every state must lie in the
    # arm's cube and move steadily to the target.
    target = [0.02, -0.01, 0.03]
    deadline = time.monotonic() + 1.0
    exchanges = 0
    while time.monotonic() < deadline:
        position, velocity = arm.end_effector_position(target)
        assert all(math.isfinite(v) and abs(v) <= 0.1 for v in position), position
        assert all(math.isfinite(v) and abs(v) < 10 for v in velocity), velocity
        exchanges += 1
    assert position == pytest.approx(target, abs=1e-3)
    assert exchanges > 50
    assert capfd.readouterr().err == ""


def test_handle_echoes_every_user_data_byte(orvex, Recorder, relayed, capfd):
    handle = Recorder(orvex.SerialStream(relayed("--handle", "--device-id", "300")))
    handle.SendDeviceWakeup()
    assert handle.Receive() == 6
    assert handle.calls == [("info", (0, 300, 2, 1, 1))]
    handle.calls.clear()
    for data in range(256):
        handle.SendHandleState(9, 1, data)
        handle.RequestStatus()
        assert handle.Receive() == 22
    assert [(device_id, error_flag, length, data)
            for device_id, _, error_flag, _, length, data in statuses(handle)] == [
        (300, 0, 1, [data]) for data in range(256)]
    assert capfd.readouterr().err == ""


def test_streaming_handle_keeps_its_messages_whole(orvex, Recorder, relayed, capfd):
    handle = Recorder(orvex.SerialStream(relayed("--handle", "--stream", "200")))
    handle.RequestStatus()  # streaming starts with the host's first command
    started = time.monotonic()
    while time.monotonic() - started < 1.0:
        assert handle.Receive() == 21
    received = statuses(handle)
    assert 100 <= len(received) <= 300
    for _, quaternion, error_flag, hall, length, data in received:
        assert sum(q * q for q in quaternion) == pytest.approx(1.0, abs=1e-5)
        assert (error_flag, length, data) == (0, 0, []) and 0 <= hall <= 255
    assert capfd.readouterr().err == ""
