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
    # The push took the arm into its end stop, a stiff wall that gives back the 20 µm it was
    # pressed in by.
    assert -1e-4 <= velocity[1] < pushed / 2


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


# --- replay and line timing ----------------------------------------------------------------

SERVO_HEADER = "time,x,y,z,vx,vy,vz,fx,fy,fz,exchange_us,proxy_x,proxy_y,proxy_z,cycle"


def write_ramp(path, seconds=0.5, speed=0.4, start=-0.1):
    """A recording whose arm moves along x at `speed` from `start`, within the workspace."""
    lines = [SERVO_HEADER]
    for i in range(int(seconds * 100) + 1):
        t = i / 100
        lines.append(",".join(str(v) for v in (t, start + speed * t, 0, 0, speed, 0, 0) + (0,) * 7 + (i,)))
    path.write_text("\n".join(lines) + "\n")


def test_replay_answers_the_recorded_position_at_the_time_since_the_first_command(
        orvex, emulator, tmp_path):
    recording = tmp_path / "ramp.csv"
    write_ramp(recording)
    arm = orvex.Corvane(orvex.SerialStream(emulator("--corvane", "--replay", str(recording)).path(0)))
    assert arm.device_wakeup_dict()["device_model_number"] == 4
    sent_first = time.monotonic()
    arm.end_effector_force([0.0, 0.0, 0.0])
    answered_first = time.monotonic()
    while time.monotonic() - sent_first < 0.4:
        sent = time.monotonic()
        position, velocity = arm.end_effector_force([1.0, 0.0, 0.0])
        answered = time.monotonic()
        # The device's clock started between the first command's sending and its answer.
        assert (-0.1 + (sent - answered_first) * 0.4 - 2e-3 <= position[0]
                <= -0.1 + (answered - sent_first) * 0.4 + 2e-3)
        assert velocity[0] == pytest.approx(0.4)


def test_a_programs_forces_against_a_replay_match_those_against_the_device(
        orvex, haptics, emulator, tmp_path):
    from test_recording import read_csv

    def run(port, path):
        loop = haptics.ServoLoop(orvex.SerialStream(port), 200, watchdog_s=0)
        loop.add(haptics.Spring(anchor=[0.02, -0.01, 0.0], stiffness=100.0, damping=2.0))
        loop.record(path)
        loop.start()
        time.sleep(0.8)
        loop.stop()
        return read_csv(path)[1]

    live = run(emulator("--corvane").path(0), tmp_path / "live.csv")
    replayed = run(emulator("--corvane", "--replay", str(tmp_path / "live.csv")).path(0),
                   tmp_path / "replayed.csv")
    # The replayed arm follows the recorded path, so the program's forces follow the live ones:
    # each replayed force lies on the path the live forces took (matched by value, since a
    # loaded machine shifts the two runs' clocks against each other).
    largest = max(abs(f) for row in live for f in row[7:10])
    assert largest > 0.1 and len(replayed) > 10
    for row in replayed[1:]:
        nearest = min(live, key=lambda r: max(abs(a - b) for a, b in zip(r[7:10], row[7:10])))
        assert row[7:10] == pytest.approx(nearest[7:10], abs=0.05 * largest)


def timed_exchanges(path, enough, limit_s=10.0):
    """(seconds from writing a force command to reading its whole 25-byte reply, the moment the
    reply was whole) for each exchange, until enough(those so far) or limit_s have passed."""
    import select
    import struct
    import tty

    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    command = bytes([0x2A]) + struct.pack("<3f", 0, 0, 0)
    exchanges = []
    deadline = time.monotonic() + limit_s
    try:
        while not enough(exchanges) and time.monotonic() < deadline:
            started = time.monotonic()
            os.write(fd, command)
            got = b""
            while len(got) < 25:
                assert select.select([fd], [], [], 2)[0]
                got += os.read(fd, 64)
            answered = time.monotonic()
            exchanges.append((answered - started, answered))
    finally:
        os.close(fd)
    return exchanges


def test_baud_makes_an_exchange_take_its_time_on_the_line(emulator):
    line = emulator("--corvane", "--baud", "115200")
    # 13 bytes out and 25 back, 10 bits a byte. A loaded machine only adds to an exchange, so
    # the fastest of a few counts; more are made until one is that fast, for at most 10 s.
    expected = (13 + 25) * 10 / 115200
    exchanges = timed_exchanges(
        line.path(0), lambda done: len(done) >= 30 and min(done)[0] <= expected * 1.1)
    assert expected * 0.9 <= min(exchanges)[0] <= expected * 1.1


def test_usb_frames_hold_replies_until_a_frame_boundary(emulator):
    frame = 0.1
    line = emulator("--corvane", "--usb-frame-us", str(int(frame * 1e6)))
    exchanges = timed_exchanges(line.path(0), lambda done: len(done) >= 8)
    # Replies come whole at boundaries a frame apart: the moments they are read differ by whole
    # frames, give or take the reader's delay (uniform moments would be a quarter frame off).
    first = exchanges[0][1]
    offsets = sorted(abs((answered - first + frame / 2) % frame - frame / 2)
                     for _, answered in exchanges[1:])
    assert offsets[len(offsets) // 2] < frame / 10
    assert all(took > 0.3 * frame for took, _ in exchanges[1:3])


@pytest.mark.parametrize("arguments, text", [
    (["--corvane", "--replay", "{missing}"], "cannot be read"),
    (["--corvane", "--replay", "{nan}"], "row 3: z = nan is not finite"),
    (["--corvane", "--replay", "{far}"], "row 2: x = 1.5 is out of range (±0.1 m)"),
    (["--corvane", "--replay", "{handle}"], "no column 'x'"),
    (["--handle", "--replay", "{ramp}"], "no column 'kind'"),
    (["--corvane", "--replay", "{text}"], "a .csv or an .npy"),
    (["--corvane", "--baud", "9"], "--baud wants a whole number from 50"),
    (["--corvane", "--usb-frame-us", "x"], "--usb-frame-us wants a whole number"),
], ids=["missing", "nan position", "position off the workspace", "handle as arm", "arm as handle",
         "not a recording", "slow baud", "frame"])
def test_bad_recordings_and_line_options_are_refused_with_a_reason(tmp_path, arguments, text):
    import subprocess

    from conftest import EMULATOR

    files = {"missing": tmp_path / "none.csv", "handle": tmp_path / "grip.csv",
             "ramp": tmp_path / "ramp.csv", "text": tmp_path / "notes.txt",
             "nan": tmp_path / "nan.csv", "far": tmp_path / "far.csv"}
    files["handle"].write_text("time,kind\n0,0\n")
    write_ramp(files["ramp"])
    ramp = files["ramp"].read_text().splitlines()
    files["nan"].write_text("\n".join(ramp[:3] + ["0.02,0,0,nan" + ",0" * 10 + ",2"]) + "\n")
    files["far"].write_text("\n".join(ramp[:2] + ["0.01,1.5" + ",0" * 12 + ",1"]) + "\n")
    files["text"].write_text("hello\n")
    done = subprocess.run([str(EMULATOR), *(a.format(**files) for a in arguments)],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=10)
    assert done.returncode != 0
    assert text in done.stderr and done.stdout == ""
