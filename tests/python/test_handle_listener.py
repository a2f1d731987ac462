"""HandleListener: a handle's messages received on a native thread, through the Python API."""

import gc
import math
import os
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import MODULE_DIR

STATUS_FIELDS = {"time", "device_id", "quaternion", "error_flag", "hall_effect_sensor_level",
                 "user_data"}
INFO_FIELDS = {"time", "tool_data_remaining", "device_id", "device_model_number",
               "hardware_version", "firmware_version"}
STATS_KEYS = {"messages", "status", "info", "errors", "unknown", "refused", "reconnects", "dropped",
              "rate_hz", "stop_reason", "recorded", "record_lost", "reconnect_refusal"}


def status_message(user_data, device_id=300, quaternion=(0.5, -0.5, 0.5, 0.5)):
    return (struct.pack("<BHBB4fB", 0xDA, device_id, 1, 200, *quaternion, len(user_data))
            + bytes(user_data))


INFO_REPLY = bytes([0xD0, 0x05, 0x2C, 0x01, 0x02, 0x03, 0x04])
ERROR_REPLY = bytes([0xDF, 0x2C, 0x01, 0x07])


@pytest.fixture
def listener(orvex, haptics, pty_pair):
    with haptics.HandleListener(orvex.SerialStream(pty_pair.path)) as running:
        yield running


def threads_now():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.parametrize("length", [0, 1, 255])
def test_status_messages_decoded_at_the_wire(haptics, listener, pty_pair, length):
    user_data = bytes(range(1, length + 1)) if length < 255 else bytes(range(255))
    sent_at = haptics.now()
    pty_pair.send(status_message(user_data))
    [message] = listener.messages(timeout=5.0)
    assert message.pop("kind") == "status"
    assert set(message) == STATUS_FIELDS
    assert message["device_id"] == 300
    assert message["quaternion"] == (0.5, -0.5, 0.5, 0.5)
    assert message["error_flag"] == 1
    assert message["hall_effect_sensor_level"] == 200
    assert message["user_data"] == user_data
    assert sent_at <= message["time"] <= haptics.now()  # the layer's one clock
    assert listener.latest() == message
    assert listener.info() is None


def test_information_and_error_replies(listener, pty_pair):
    pty_pair.send(INFO_REPLY + ERROR_REPLY)
    deadline = time.monotonic() + 5.0
    messages = []
    while len(messages) < 2 and time.monotonic() < deadline:
        messages += listener.messages(timeout=1.0)
    info, error = messages
    assert info.pop("kind") == "info"
    assert set(info) == INFO_FIELDS
    assert (info["tool_data_remaining"], info["device_id"], info["device_model_number"],
            info["hardware_version"], info["firmware_version"]) == (5, 300, 2, 3, 4)
    assert listener.info() == info
    assert set(error) == {"kind", "time", "device_id", "error_code"}
    assert (error["kind"], error["device_id"], error["error_code"]) == ("error", 300, 7)
    assert listener.latest() is None
    stats = listener.stats()
    assert set(stats) == STATS_KEYS
    assert (stats["messages"], stats["info"], stats["errors"], stats["status"]) == (2, 1, 1, 0)
    assert stats["stop_reason"] is None


@pytest.mark.parametrize(
    "command, wire",
    [
        (lambda l: l.wakeup(), b"\x0a"),
        (lambda l: l.request_status(), b"\xda"),
        (lambda l: l.send_state(300), b"\xdb\x2c\x01\x00"),
        (lambda l: l.send_state(0x0102, bytearray([7, 8, 9])), b"\xdb\x02\x01\x03\x07\x08\x09"),
        (lambda l: l.send_state(device_id=65535, user_data=memoryview(bytes(range(255)))),
         b"\xdb\xff\xff\xff" + bytes(range(255))),
    ],
    ids=["wakeup", "status", "no-data", "three-bytes", "longest"],
)
def test_commands_on_the_wire(listener, pty_pair, command, wire):
    command(listener)
    assert pty_pair.receive(len(wire)) == wire
    assert pty_pair.drain() == b""


@pytest.mark.parametrize(
    "args, error",
    [
        ((-1,), ValueError),
        ((65536,), ValueError),
        ((1, bytes(256)), ValueError),
        ((1, "text"), TypeError),
        ((1.0,), TypeError),
    ],
)
def test_refused_states_send_nothing(listener, pty_pair, args, error):
    with pytest.raises(error):
        listener.send_state(*args)
    assert pty_pair.drain() == b""


def test_refused_arguments(orvex, haptics, pty_pair, listener):
    with pytest.raises(ValueError):
        haptics.HandleListener(orvex.SerialStream(pty_pair.path), queue_capacity=0)
    with pytest.raises(TypeError):
        haptics.HandleListener(None)
    with pytest.raises(ValueError):
        listener.messages(max_count=-1)
    with pytest.raises(ValueError):
        listener.messages(timeout=-1.0)


def test_a_full_queue_drops_the_oldest_and_counts_them(orvex, haptics, pty_pair):
    with haptics.HandleListener(orvex.SerialStream(pty_pair.path), queue_capacity=3) as listener:
        for i in range(8):
            pty_pair.send(status_message([i]))
        deadline = time.monotonic() + 5.0
        while listener.stats()["status"] < 8 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert listener.stats()["dropped"] == 5
        assert [m["user_data"] for m in listener.messages(max_count=2)] == [b"\x05", b"\x06"]
        assert [m["user_data"] for m in listener.messages()] == [b"\x07"]
        assert listener.latest()["user_data"] == b"\x07"


def test_messages_with_a_timeout_wakes_when_one_arrives_and_frees_the_interpreter(
        listener, pty_pair):
    ticks = []
    sender = threading.Timer(0.3, lambda: pty_pair.send(ERROR_REPLY))

    def tick():
        while not ticks or ticks[-1] < 0.2:
            ticks.append(time.monotonic() - start)
            time.sleep(0.01)

    start = time.monotonic()
    sender.start()
    ticker = threading.Thread(target=tick)
    ticker.start()
    messages = listener.messages(timeout=30.0)
    took = time.monotonic() - start
    sender.join()
    ticker.join()
    assert [m["kind"] for m in messages] == ["error"]
    assert 0.2 < took < 10.0
    assert len(ticks) > 3, "another thread ran while messages() waited"


def test_the_main_thread_stays_free_while_it_receives(orvex, haptics, pty_pair):
    # The device streams from another process; this interpreter holds its lock in a busy loop
    # and hands it to no other thread meanwhile.
    device = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent("""
            import os, sys, time
            fd, message = int(sys.argv[1]), bytes.fromhex(sys.argv[2])
            while True:
                os.write(fd, message)
                time.sleep(0.002)
            """), str(pty_pair.master), status_message([1, 2]).hex()],
        pass_fds=[pty_pair.master])
    switch_interval = sys.getswitchinterval()
    try:
        with haptics.HandleListener(orvex.SerialStream(pty_pair.path)) as listener:
            listener.messages(timeout=5.0)
            sys.setswitchinterval(100.0)
            before = listener.stats()["status"]
            end = time.monotonic() + 1.0
            while time.monotonic() < end:
                pass
            during = listener.stats()["status"] - before
            sys.setswitchinterval(switch_interval)
            assert during > 20
            assert listener.stats()["dropped"] == 0
            assert listener.stats()["rate_hz"] > 0
    finally:
        sys.setswitchinterval(switch_interval)
        device.kill()
        device.wait()


def test_one_owner_per_stream(orvex, haptics, pty_pair):
    stream = orvex.SerialStream(pty_pair.path)
    first = haptics.HandleListener(stream)
    second = haptics.HandleListener(stream)
    first.start()
    with pytest.raises(RuntimeError):
        second.start()
    assert not second.running
    first.stop()
    with second:
        assert second.running


def test_stop_ends_the_thread_and_says_why(orvex, haptics, pty_pair):
    before = threads_now()
    listener = haptics.HandleListener(orvex.SerialStream(pty_pair.path))
    listener.start()
    listener.start()
    assert listener.running and threads_now() == before + 1
    listener.stop()
    listener.stop()
    assert not listener.running and threads_now() == before
    assert listener.stats()["stop_reason"] == "stop"


def test_a_collected_running_listener_leaves_no_thread(orvex, haptics, pty_pair):
    gc.collect()
    before = threads_now()
    listener = haptics.HandleListener(orvex.SerialStream(pty_pair.path))
    listener.start()
    del listener
    gc.collect()
    assert threads_now() == before


def test_a_cut_off_message_is_refused_and_the_listener_goes_on(listener, pty_pair):
    pty_pair.send(status_message([1, 2, 3])[:9])
    # Nothing comes of it; it breaks off 0.1 s after its first byte.
    assert listener.messages(timeout=0.5) == []
    assert listener.stats()["refused"] == 1
    assert listener.running and listener.stats()["stop_reason"] is None
    pty_pair.send(status_message([4]))
    assert [m["user_data"] for m in listener.messages(timeout=5.0)] == [bytes([4])]


def test_exit_without_stop_leaves_no_thread_behind(pty_pair):
    script = textwrap.dedent("""
        import sys
        sys.path.insert(0, sys.argv[1])
        import OrvexHardwareAPI, OrvexHaptics
        kept = OrvexHaptics.HandleListener(OrvexHardwareAPI.SerialStream(sys.argv[2]))
        kept.start()
        print("running", kept.running, flush=True)
        """)
    done = subprocess.run([sys.executable, "-c", script, str(MODULE_DIR), pty_pair.path],
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "running True\n"
    assert done.stderr == ""


def about(axis, degrees):
    half = math.radians(degrees) / 2
    return [math.cos(half)] + [math.sin(half) if i == axis else 0.0 for i in range(3)]


def product(a, b):
    aw, ax, ay, az = a
    bw, bx, by, bz = b
    return [aw * bw - ax * bx - ay * by - az * bz, aw * bx + ax * bw + ay * bz - az * by,
            aw * by - ax * bz + ay * bw + az * bx, aw * bz + ax * by - ay * bx + az * bw]


@pytest.mark.parametrize("roll, pitch, yaw", [(0, 0, 0), (30, 0, 0), (0, -45, 0), (0, 0, 120),
                                              (10, 20, 30), (-170, 60, -90)])
def test_roll_pitch_yaw_is_aerospace_z_y_x(haptics, roll, pitch, yaw):
    q = product(product(about(2, yaw), about(1, pitch)), about(0, roll))
    assert haptics.roll_pitch_yaw(q) == pytest.approx((roll, pitch, yaw), abs=1e-3)
    assert haptics.roll_pitch_yaw({"quaternion": tuple(q)}) == pytest.approx(
        (roll, pitch, yaw), abs=1e-3)
    with pytest.raises(ValueError):
        haptics.roll_pitch_yaw(q[:3])


def test_the_handles_orientation_turns_a_linked_shape_before_its_message_is_handed_on(
        orvex, haptics, emulator):
    """The emulator's handle streams a turning orientation at 100 Hz; the listener's thread turns
    the box to offset * each quaternion before that status becomes the latest, so the box is never
    a message behind."""
    listener = haptics.HandleListener(orvex.SerialStream(emulator("--handle", "--stream", "100").path(0)))
    box = haptics.Box((0.02, 0.02, 0.02))
    offset = (math.cos(math.pi / 8), 0.0, 0.0, math.sin(math.pi / 8))  # 45° about z
    listener.link_orientation(box, offset)
    assert listener.orientation_linked is box
    matched = 0
    with listener:
        listener.wakeup()
        deadline = time.monotonic() + 5
        while matched < 20 and time.monotonic() < deadline:
            before = listener.latest()
            turned = box.orientation
            after = listener.latest()
            if before and after and before["time"] == after["time"]:
                assert turned == pytest.approx(product(offset, before["quaternion"]), abs=1e-6)
                matched += 1
            time.sleep(0.013)
        listener.unlink_orientation()
        assert listener.orientation_linked is None
        left = box.orientation
        time.sleep(0.05)
        assert box.orientation == left  # no longer turned
    assert matched == 20


def product(a, b):
    """The quaternion a b, normalised."""
    w = a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3]
    x = a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2]
    y = a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1]
    z = a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0]
    n = math.sqrt(w * w + x * x + y * y + z * z)
    return (w / n, x / n, y / n, z / n)
