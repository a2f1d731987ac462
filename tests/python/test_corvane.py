"""The Corvane class: methods, conversions, warnings, the interpreter lock and the stream's life."""

import gc
import inspect
import math
import os
import struct
import threading
import time
import uuid
import warnings

import pytest

INF = float("inf")


def floats(*values):
    return struct.pack("<%df" % len(values), *values)


def message(code, *values):
    return bytes([code]) + floats(*values)


def unexpected(code):
    """A reply nobody asked for, with exactly a buffer's worth after it: dropped at once."""
    return bytes([code]) + b"\x55" * 1024


DEVICE_INFO = bytes([11, 0x2C, 0x01, 0x04, 0x02, 0x07]) + bytes(range(16))
STATE_VALUES = (0.1, 1.0, 2.0, -1.0, INF, -INF)
STATE_LISTS = ([0.10000000149011612, 1.0, 2.0], [-1.0, INF, -INF])
ZERO_LISTS = ([0.0] * 3, [0.0] * 3)

METHODS = [
    ("__init__", None),
    ("device_wakeup", "Wakeup the device and return the device info as a tuple."),
    ("device_wakeup_dict", "Wakeup the device and return the device info as a dict."),
    ("end_effector_force", "Send forces to the device and receive device states"),
    ("joint_torques", "Send joint torques to the device and receive the joint states"),
    ("end_effector_position", "Send end-effector position and receive device states"),
    ("joint_angles", "Send joint angles to the device and receive the joint states"),
    ("SendDeviceWakeup", "[DEPRECATED] Send a device wakeup command"),
    ("ReceiveDeviceInfo", "Receive device info and return a tuple"),
    ("SendForce", "[Deprecated] Send force to the device"),
    ("ReceiveState", "[Deprecated] receive state and return position and velocity"),
    ("ReceiveJointState", "[Deprecated] receive joint state and return position and velocity "
                          "in the joint reference frame"),
    ("SendJointTorques", "[Deprecated] send joint torque"),
    ("SendAngle", "Send angles to the device"),
    ("RequestCurrent", "request current"),
    ("ReceiveCurrent", "receive current and return current"),
    ("SendPosition", "[Deprecated] Send Position to the device"),
]


@pytest.fixture
def corvane(orvex, pty_pair):
    return orvex.Corvane(orvex.SerialStream(pty_pair.path))


def test_methods_come_in_order_with_their_docstrings(orvex):
    names = [name for name in vars(orvex.Corvane) if name in dict(METHODS)]
    assert names == [name for name, _ in METHODS]
    for name, doc in METHODS[1:]:
        assert getattr(orvex.Corvane, name).__doc__.rstrip("\n").endswith(doc), name
    overloads = orvex.Corvane.SendForce.__doc__
    assert "1. SendForce(self: OrvexHardwareAPI.Corvane, force: List[float]" in overloads
    assert "2. SendForce(self: OrvexHardwareAPI.Corvane, ForceX: float = 0, ForceY: float = 0, " \
           "ForceZ: float = 0)" in overloads
    assert orvex.Corvane.__doc__ is None
    assert not issubclass(orvex.Corvane, orvex.Device)


def test_construction_needs_a_stream_given_by_position(orvex, pty_pair):
    with pytest.raises(TypeError, match="Corvane needs a SerialStream, not None"):
        orvex.Corvane(None)
    stream = orvex.SerialStream(pty_pair.path)
    with pytest.raises(TypeError):
        orvex.Corvane(stream=stream)
    with pytest.raises(TypeError):
        orvex.Corvane(orvex.UUID())
    orvex.Corvane(stream)
    assert pty_pair.drain() == b""  # nothing is sent until a method is called


def _open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def test_a_device_keeps_its_stream_alive(orvex, pty_pair):
    before = _open_descriptors()
    device = orvex.Corvane(orvex.SerialStream(pty_pair.path))
    gc.collect()
    assert _open_descriptors() == before + 1
    pty_pair.send(message(43, *STATE_VALUES))
    assert device.end_effector_force([1.0, 2.0, 3.0]) == STATE_LISTS
    assert pty_pair.drain() == message(42, 1.0, 2.0, 3.0)
    del device
    gc.collect()
    assert _open_descriptors() == before


EXCHANGES = [
    ("end_effector_force", "force request vector", 42, 43),
    ("joint_torques", "joint torque request vector", 26, 27),
    ("end_effector_position", "position request vector", 44, 43),
    ("joint_angles", "joint angle request vector", 28, 27),
]


@pytest.mark.parametrize("name, argument, command, reply", EXCHANGES)
def test_exchange_sends_three_floats_and_widens_the_reply(corvane, pty_pair, name, argument,
                                                           command, reply):
    exchange = getattr(corvane, name)
    pty_pair.send(message(reply, *STATE_VALUES))
    result = exchange(**{argument: [1, 2.5, 3, 4.0]})  # ints convert, a fourth value is ignored
    assert pty_pair.drain() == message(command, 1.0, 2.5, 3.0)
    assert result == STATE_LISTS
    assert all(type(v) is float for v in result[0] + result[1])

    pty_pair.send(message(reply, *STATE_VALUES))
    assert exchange() == STATE_LISTS
    assert pty_pair.drain() == message(command, 0.0, 0.0, 0.0)

    other = 27 if reply == 43 else 43
    pty_pair.send(unexpected(other))
    assert exchange((-1.0, 0.5, 2.0)) == ZERO_LISTS  # any sequence will do
    assert pty_pair.drain() == message(command, -1.0, 0.5, 2.0)


def test_wakeup_in_its_two_forms(corvane, pty_pair):
    pty_pair.send(DEVICE_INFO + DEVICE_INFO)
    assert corvane.device_wakeup() == (300, 4, 2, 7, list(range(16)))
    info = corvane.device_wakeup_dict()
    assert pty_pair.drain() == b"\x0a\x0a"
    assert list(info) == ["device_id", "device_model_number", "hardware_version",
                          "firmware_version", "device_id_ext"]
    assert [info[k] for k in list(info)[:4]] == [300, 4, 2, 7]
    assert isinstance(info["device_id_ext"], uuid.UUID)
    assert info["device_id_ext"].hex == "000102030405060708090a0b0c0d0e0f"
    assert info["device_id_ext"].bytes == bytes(range(16))


def test_wakeup_without_a_valid_reply_gives_zeros(corvane, pty_pair):
    pty_pair.send(unexpected(43) + unexpected(10))
    assert corvane.device_wakeup() == (0, 0, 0, 0, [0] * 16)
    assert corvane.device_wakeup_dict() == {
        "device_id": 0, "device_model_number": 0, "hardware_version": 0,
        "firmware_version": 0, "device_id_ext": uuid.UUID(int=0)}


@pytest.mark.parametrize("args, kwargs, sent", [
    ((), {}, (0.0, 0.0, 0.0)),
    ((1.5,), {}, (1.5, 0.0, 0.0)),
    ((1, 2, 3), {}, (1.0, 2.0, 3.0)),
    (([1, 2, 3],), {}, (1.0, 2.0, 3.0)),
    (((0.5, -0.5, 2.0, 9.0),), {}, (0.5, -0.5, 2.0)),
    ((), {"ForceZ": 3.0, "ForceX": 1.0}, (1.0, 0.0, 3.0)),
    ((), {"force": [4.0, 5.0, 6.0]}, (4.0, 5.0, 6.0)),
])
def test_send_force_overloads(corvane, pty_pair, args, kwargs, sent):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert corvane.SendForce(*args, **kwargs) is None
    assert pty_pair.drain() == message(42, *sent)


@pytest.mark.parametrize("name, args, kwargs", [
    ("end_effector_force", ("abc",), {}),
    ("joint_angles", (b"abc",), {}),
    ("SendForce", ("abc",), {}),
    ("SendForce", ([1.0, "x", 3.0],), {}),
    ("SendAngle", ([1.0, 2.0, None],), {}),
    ("ReceiveState", (), {"velocity": "abc"}),
    ("ReceiveDeviceInfo", (), {"device_id": 65536}),
    ("ReceiveDeviceInfo", (), {"hardware_version": 256}),
    ("ReceiveDeviceInfo", (1.0,), {}),
    ("ReceiveDeviceInfo", (), {"UUID": [0] * 16}),
    ("end_effector_force", (), {"force_request_vector": [1.0, 2.0, 3.0]}),
])
def test_arguments_that_do_not_convert_send_nothing(corvane, pty_pair, name, args, kwargs):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError, match="incompatible function arguments"):
            getattr(corvane, name)(*args, **kwargs)
    assert caught == []
    assert pty_pair.drain() == b""


@pytest.mark.parametrize("name, args, argument", [
    ("end_effector_force", ([1.0, 2.0],), "force request vector"),
    ("joint_torques", ([],), "joint torque request vector"),
    ("end_effector_position", ([1.0],), "position request vector"),
    ("joint_angles", ((1.0, 2.0),), "joint angle request vector"),
    ("SendForce", ([1.0, 2.0],), "force"),
    ("SendJointTorques", ([1.0],), "joint_torque"),
    ("SendAngle", ([1.0, 2.0],), "angle"),
    ("SendPosition", ([],), "position"),
    ("ReceiveState", ([1.0, 2.0, 3.0], [1.0]), "velocity"),
    ("ReceiveJointState", ([1.0], [1.0, 2.0, 3.0]), "joint_position"),
    ("ReceiveCurrent", ([1.0, 2.0],), "current"),
])
def test_fewer_than_three_values_are_refused_before_any_traffic(corvane, pty_pair, name, args,
                                                                argument):
    pty_pair.send(message(43, *STATE_VALUES))  # a reply a receive would take off the line
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        started = time.monotonic()
        with pytest.raises(ValueError) as raised:
            getattr(corvane, name)(*args)
        assert time.monotonic() - started < 0.3
        assert str(raised.value) == "'%s' needs three values, got %d" % (
            argument, min(len(a) for a in args))
        assert pty_pair.drain() == b""
        assert corvane.ReceiveState() == STATE_LISTS  # the reply is still there, unread


DEPRECATED = [
    ("SendDeviceWakeup", (), b"", b"\x0a",
     "SendDeviceWakeup is deprecated, use device_wakeup instead"),
    ("SendForce", ([1.0, 2.0, 3.0],), b"", message(42, 1.0, 2.0, 3.0),
     "SendForce is deprecated, use end_effector_force instead"),
    ("SendForce", (1.0, 2.0, 3.0), b"", message(42, 1.0, 2.0, 3.0),
     "SendForce is deprecated, use end_effector_force instead"),
    ("ReceiveState", (), message(43, *STATE_VALUES), b"",
     "ReceiveState is deprecated, use end_effector instead"),
    ("ReceiveJointState", (), message(27, *STATE_VALUES), b"",
     "ReceiveJointState is deprecated, use joint_torques instead"),
    ("SendJointTorques", ([4.0, 5.0, 6.0],), b"", message(26, 4.0, 5.0, 6.0),
     "SendJointTorques is deprecated, use joint_torques instead"),
    ("SendPosition", ([7.0, 8.0, 9.0],), b"", message(44, 7.0, 8.0, 9.0),
     "SendPosition is deprecated, use end_effector_position instead"),
]


@pytest.mark.parametrize("name, args, reply, sent, text", DEPRECATED,
                         ids=["%s-%d" % (row[0], len(row[1])) for row in DEPRECATED])
def test_deprecated_methods_warn_on_every_call_before_any_traffic(corvane, pty_pair, name, args,
                                                                  reply, sent, text):
    seen = []

    def show(warning, category, filename, lineno, file=None, line=None):
        # What reached the line by the time the warning was issued.
        seen.append((str(warning), category, filename, lineno, pty_pair.drain(0.01)))

    method = getattr(corvane, name)
    lines = []
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = show
        for _ in range(2):
            pty_pair.send(reply)
            lines.append(inspect.currentframe().f_lineno + 1)
            result = method(*args)
            assert pty_pair.drain() == sent
            if reply:
                assert result == STATE_LISTS
    assert seen == [(text, DeprecationWarning, __file__, line, b"") for line in lines]


@pytest.mark.parametrize("name, args, reply", [
    ("SendAngle", ([1.0, 2.0, 3.0],), b""),
    ("RequestCurrent", (), b""),
    ("ReceiveCurrent", (), message(171, 1.0, 2.0, 3.0)),
    ("ReceiveDeviceInfo", (), DEVICE_INFO),
    ("device_wakeup", (), DEVICE_INFO),
    ("end_effector_force", (), message(43, *STATE_VALUES)),
])
def test_current_methods_do_not_warn(corvane, pty_pair, name, args, reply):
    pty_pair.send(reply)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        getattr(corvane, name)(*args)


def test_a_warning_raised_as_an_error_still_lets_the_exchange_happen(corvane, pty_pair):
    pty_pair.send(message(43, *STATE_VALUES) + message(27, *STATE_VALUES))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning, match="SendPosition is deprecated"):
            corvane.SendPosition([1.0, 2.0, 3.0])
        with pytest.raises(DeprecationWarning, match="ReceiveState is deprecated"):
            corvane.ReceiveState()
    assert pty_pair.drain() == message(44, 1.0, 2.0, 3.0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        # The state reply was taken off the line: the joint state is next.
        assert corvane.ReceiveJointState() == STATE_LISTS


@pytest.mark.parametrize("name, code", [("ReceiveState", 43), ("ReceiveJointState", 27)])
def test_older_receive_starts_from_the_callers_values(corvane, pty_pair, name, code):
    receive = getattr(corvane, name)
    first, second = [9.0] * 4, [0.1] * 3
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        pty_pair.send(unexpected(43 + 27 - code))
        unchanged = receive(first, second)
        pty_pair.send(message(code, *STATE_VALUES))
        replaced = receive(first, second)
    assert unchanged == ([9.0] * 4, [0.10000000149011612] * 3)
    assert replaced == (STATE_LISTS[0] + [9.0], STATE_LISTS[1])
    assert unchanged[0] is not first and replaced[0] is not first
    assert (first, second) == ([9.0] * 4, [0.1] * 3)


def test_receive_current_and_request_current(corvane, pty_pair):
    mine = [5.0, 5.0, 5.0, 5.0]
    corvane.RequestCurrent()
    assert pty_pair.drain() == b"\xab"
    pty_pair.send(unexpected(43) + message(171, 0.1, -INF, 2.0))
    assert corvane.ReceiveCurrent(mine) == mine
    assert corvane.ReceiveCurrent(mine) == [0.10000000149011612, -INF, 2.0, 5.0]
    assert mine == [5.0] * 4


def test_float_bit_patterns_pass_unchanged(corvane, pty_pair):
    quiet_nan = b"\x01\x00\xc0\x7f"
    pty_pair.send(b"\xab" + quiet_nan + floats(INF, -INF))
    current = corvane.ReceiveCurrent()
    assert math.isnan(current[0]) and current[1:] == [INF, -INF]
    corvane.SendAngle(current)
    assert pty_pair.drain() == b"\x1c" + quiet_nan + floats(INF, -INF)


def test_receive_device_info_reads_without_sending(orvex, corvane, pty_pair):
    given = orvex.UUID()
    pty_pair.send(unexpected(43))
    first = corvane.ReceiveDeviceInfo()
    assert first[:4] == (0, 0, 0, 0) and first[4].bytes() == [0] * 16
    pty_pair.send(unexpected(43))
    kept = corvane.ReceiveDeviceInfo(device_id=7, firmware_version=255, UUID=given)
    assert kept[:4] == (7, 0, 0, 255)
    assert isinstance(kept[4], orvex.UUID) and kept[4] is not given
    with pytest.warns(DeprecationWarning):
        corvane.SendDeviceWakeup()
    pty_pair.send(DEVICE_INFO)
    decoded = corvane.ReceiveDeviceInfo(1, 2, 3, 4, given)
    assert decoded[:4] == (300, 4, 2, 7) and decoded[4].bytes() == list(range(16))
    assert given.bytes() == [0] * 16
    assert pty_pair.drain() == b"\x0a"


def test_silent_ports_hold_only_their_callers_then_fall_silent(orvex, pty_pair, capfd):
    # One second of silence, shared: two exchanges wait on two silent ports at once while this
    # thread keeps ticking; afterwards both streams are stale.
    other_pty = type(pty_pair)()
    try:
        arm = orvex.Corvane(orvex.SerialStream(pty_pair.path))
        other = orvex.Corvane(orvex.SerialStream(other_pty.path))
        results = {}

        def wakeup():
            results["wakeup"] = arm.device_wakeup()

        def receive_state():
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                results["state"] = other.ReceiveState([9.0] * 3, [1.0] * 4)

        threads = [threading.Thread(target=wakeup), threading.Thread(target=receive_state)]
        started = last = time.monotonic()
        longest_gap = 0.0
        for thread in threads:
            thread.start()
        while any(thread.is_alive() for thread in threads):
            now = time.monotonic()
            longest_gap, last = max(longest_gap, now - last), now
            time.sleep(0.005)
        waited = time.monotonic() - started
        assert 0.9 <= waited < 1.8  # side by side, not one after the other
        assert longest_gap < 0.5
        assert results == {"wakeup": (0, 0, 0, 0, [0] * 16),
                           "state": ([9.0] * 3, [1.0] * 4)}
        assert pty_pair.drain() == b"\x0a" and other_pty.drain() == b""

        pty_pair.send(DEVICE_INFO)
        other_pty.send(message(171, 1.0, 2.0, 3.0))
        started = time.monotonic()
        assert arm.end_effector_force([1.0, 2.0, 3.0]) == ZERO_LISTS
        assert arm.device_wakeup_dict()["device_id_ext"] == uuid.UUID(int=0)
        assert other.ReceiveCurrent([4.0] * 3) == [4.0] * 3
        other.RequestCurrent()
        assert time.monotonic() - started < 0.3
        assert pty_pair.drain() == b"" and other_pty.drain() == b""
        assert capfd.readouterr() == ("", "")
    finally:
        other_pty.close()
