"""End to end: the module driving the virtual devices of the emulator over real pseudo-terminals."""

import os
import time
import uuid

import pytest

from conftest import statuses


def test_wakeup_reports_model_four_and_the_chosen_uuid(orvex, emulator):
    chosen = uuid.UUID("00112233-4455-6677-8899-aabbccddeeff")
    device = emulator("--corvane", "--uuid", chosen.hex, "--device-id", "300")
    assert device.ports[0][0] == "corvane"
    arm = orvex.Corvane(orvex.SerialStream(device.path(0)))
    info = arm.device_wakeup_dict()
    assert info["device_model_number"] == 4
    assert info["device_id"] == 300
    assert info["device_id_ext"] == chosen


def test_force_moves_the_arm_and_damping_stops_it(orvex, emulator):
    arm = orvex.Corvane(orvex.SerialStream(emulator("--corvane").path(0)))
    start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    deadline = time.monotonic() + 0.3
    while time.monotonic() < deadline:
        position, velocity = arm.end_effector_force([0.0, 2.0, 0.0])
    assert position[1] > start[1] + 1e-3 and velocity[1] > 0
    assert abs(position[0] - start[0]) < 1e-6 and abs(position[2] - start[2]) < 1e-6
    pushed = velocity[1]
    deadline = time.monotonic() + 0.5
    while time.monotonic() < deadline:
        _, velocity = arm.end_effector_force([0.0, 0.0, 0.0])
    assert 0 <= velocity[1] < pushed / 2


def test_position_command_converges(orvex, emulator):
    arm = orvex.Corvane(orvex.SerialStream(emulator("--corvane").path(0)))
    target = [0.02, -0.01, 0.03]
    deadline = time.monotonic() + 1.0
    while time.monotonic() < deadline:
        position, velocity = arm.end_effector_position(target)
    assert position == pytest.approx(target, abs=1e-3)
    assert velocity == pytest.approx([0, 0, 0], abs=1e-2)


def test_handle_status_carries_user_data_and_a_unit_quaternion(orvex, Recorder, emulator):
    handle = Recorder(orvex.SerialStream(emulator("--handle").path(0)))
    handle.SendHandleState(7, 1, 0xA5)
    handle.RequestStatus()
    assert handle.Receive() == 22
    (device_id, quaternion, error_flag, hall, length, data), = statuses(handle)
    assert (error_flag, length, data) == (0, 1, [0xA5])
    assert sum(q * q for q in quaternion) == pytest.approx(1.0, abs=1e-5)
    assert 0 <= hall <= 255


def test_streaming_keeps_about_the_asked_rate(orvex, Recorder, emulator):
    handle = Recorder(orvex.SerialStream(emulator("--handle", "--stream", "200").path(0)))
    handle.RequestStatus()  # streaming starts with the host's first command
    handle.Receive()
    started = time.monotonic()
    while time.monotonic() - started < 1.0:
        assert handle.Receive() == 21
    assert 150 <= len(statuses(handle)) <= 260


def test_lost_and_cut_replies_give_the_documented_failures(orvex, Recorder, emulator, capfd):
    # One second each, waited out side by side is not possible from one thread: keep it to two.
    devices = emulator("--corvane", "--handle", "--drop", "1")
    arm = orvex.Corvane(orvex.SerialStream(devices.path(0)))
    started = time.monotonic()
    assert arm.end_effector_force([1.0, 0.0, 0.0]) == ([0.0] * 3, [0.0] * 3)
    assert 0.9 < time.monotonic() - started < 2.0
    assert arm.device_wakeup()[1] == 0  # the stream stays silent: zeros at once
    assert time.monotonic() - started < 2.0

    cut = emulator("--handle", "--truncate", "1")
    handle = Recorder(orvex.SerialStream(cut.path(0)))
    handle.RequestStatus()
    count = handle.Receive()
    assert count == 0 and statuses(handle) == []
    assert capfd.readouterr().err == ""  # time-outs are silent


@pytest.mark.skipif(not os.access("/dev", os.W_OK), reason="links in /dev need root")
def test_links_appear_for_discovery_and_go_on_exit(orvex, emulator):
    link = "/dev/ttyACM-orvex-e2e-%s" % uuid.uuid4().hex[:8]
    device = emulator("--corvane", "--link", link)
    assert os.path.realpath(link) == device.path(0)
    assert os.path.realpath(link) in orvex.detect_corvanes()
    assert device.stop() == 0
    assert not os.path.lexists(link)
