"""The Handle class: commands on the wire, messages to the callbacks a subclass overrides."""

import gc
import os
import struct
import threading
import time
import warnings

import pytest

PURE_STATUS = 'Tried to call pure virtual function "API::Devices::Handle::OnReceiveHandleStatusMessage"'
QUATERNION = (0.1, -0.5, 0.25, 2.0)
INFO_REPLY = bytes([0xD0, 0x05, 0x2C, 0x01, 0x02, 0x03, 0x04])
ERROR_REPLY = bytes([0xDF, 0x2C, 0x01, 0x07])


def status_message(user_data):
    fixed = struct.pack("<HBB4fB", 300, 1, 200, *QUATERNION, len(user_data))
    return b"\xda" + fixed + bytes(user_data)


def as_float32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


@pytest.fixture
def stream(orvex, pty_pair):
    return orvex.SerialStream(pty_pair.path)


def test_plain_handle_discards_every_message(orvex, pty_pair, stream):
    handle = orvex.Handle(stream)
    assert type(handle) is orvex.Handle and not isinstance(handle, orvex.Device)
    pty_pair.send(INFO_REPLY + ERROR_REPLY + status_message([]) + status_message(range(255)))
    assert [handle.Receive() for _ in range(4)] == [6, 3, 21, 276]
    assert handle.OnReceiveHandleInfo(1, 2, 3, 4, 5) is None
    assert handle.OnReceiveHandleStatusMessage(1, 0.5, 2, 3, 255, 4) is None
    assert handle.OnReceiveHandleErrorResponse(1, 2) is None


@pytest.mark.parametrize("user_data", [[], [7, 8, 9], list(range(255))], ids=len)
def test_subclass_receives_the_decoded_values(Recorder, pty_pair, stream, user_data):
    handle = Recorder(stream)
    pty_pair.send(INFO_REPLY + status_message(user_data) + ERROR_REPLY)
    assert [handle.Receive() for _ in range(3)] == [6, 21 + len(user_data), 3]
    quaternion = [as_float32(q) for q in QUATERNION]
    assert handle.calls == [
        ("info", (5, 300, 2, 3, 4)),
        ("status", (300, quaternion, 1, 200, len(user_data), user_data)),
        ("error", (300, 7)),
    ]
    status = handle.calls[1][1]
    assert type(status[1]) is list and all(type(q) is float for q in status[1])
    assert type(status[5]) is list and all(type(b) is int for b in status[5])


def test_direct_status_call_on_a_subclass_reads_no_further_than_given(orvex, Recorder, stream):
    handle = Recorder(stream)
    orvex.Handle.OnReceiveHandleStatusMessage(handle, 1, 0.5, 2, 3, 4, 9)
    assert handle.calls == [("status", (1, [0.5, 0.0, 0.0, 0.0], 2, 3, 4, [9, 0, 0, 0]))]


def test_subclass_overriding_only_the_information_callback(orvex, pty_pair, stream):
    class InfoOnly(orvex.Handle):
        def OnReceiveHandleInfo(self, *args):
            self.info = args

    handle = InfoOnly(stream)
    pty_pair.send(INFO_REPLY + ERROR_REPLY + status_message([1, 2]) + INFO_REPLY)
    assert handle.Receive() == 6 and handle.info == (5, 300, 2, 3, 4)
    assert handle.Receive() == 3
    with pytest.raises(RuntimeError) as raised:
        handle.Receive()
    assert str(raised.value) == PURE_STATUS
    with pytest.raises(RuntimeError) as raised:
        handle.OnReceiveHandleStatusMessage(1, 0.5, 2, 3, 1, 4)
    assert str(raised.value) == PURE_STATUS
    assert handle.Receive() == 6  # the status message was consumed whole


def test_override_calling_the_base_class(orvex, pty_pair, stream):
    class Forwarding(orvex.Handle):
        def __init__(self, stream):
            super().__init__(stream)
            self.results = []

        def OnReceiveHandleInfo(self, *args):
            self.results.append(orvex.Handle.OnReceiveHandleInfo(self, *args))

        def OnReceiveHandleErrorResponse(self, *args):
            self.results.append(orvex.Handle.OnReceiveHandleErrorResponse(self, *args))

        def OnReceiveHandleStatusMessage(self, device_id, quaternion, *rest):
            orvex.Handle.OnReceiveHandleStatusMessage(self, device_id, quaternion[0], 1, 2, 0, 0)

    handle = Forwarding(stream)
    pty_pair.send(INFO_REPLY + ERROR_REPLY + status_message([]))
    assert handle.Receive() == 6 and handle.Receive() == 3
    assert handle.results == [None, None]
    with pytest.raises(RuntimeError) as raised:
        handle.Receive()
    assert str(raised.value) == PURE_STATUS


def test_exception_from_an_override_propagates_unchanged(orvex, pty_pair, stream):
    problem = ValueError("the program's own")

    class Raising(orvex.Handle):
        def OnReceiveHandleErrorResponse(self, device_id, error_code):
            raise problem

    handle = Raising(stream)
    pty_pair.send(ERROR_REPLY + INFO_REPLY)
    with pytest.raises(ValueError) as raised:
        handle.Receive()
    assert raised.value is problem
    assert handle.Receive() == 6


def test_deprecated_receive_warns_and_an_out_of_range_argument_reads_nothing(
    Recorder, pty_pair, stream
):
    handle = Recorder(stream)
    pty_pair.send(INFO_REPLY + INFO_REPLY)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError):
            handle.Receive(300)
        assert caught == [] and handle.calls == []
        assert handle.Receive(5) == 6
    assert [(w.category, str(w.message)) for w in caught] == [
        (DeprecationWarning, "Receive with one argument is deprecated")
    ]
    assert caught[0].filename == __file__
    assert handle.Receive() == 6 and len(handle.calls) == 2


@pytest.mark.parametrize(
    "send, wire",
    [
        (lambda h: h.SendDeviceWakeup(), b"\x0a"),
        (lambda h: h.RequestStatus(), b"\xda"),
        (lambda h: h.SendHandleState(1, 1, 42), b"\xdb\x01\x00\x01\x2a"),
        (lambda h: h.SendHandleState(1, 0, 0), b"\xdb\x01\x00\x00"),
        (lambda h: h.SendHandleState(), b"\xdb\x00\x00\x00"),
        (lambda h: h.SendHandleState(device_id=300), b"\xdb\x2c\x01\x00"),
        (lambda h: h.SendHandleState(0xFFFF, user_data=255, data_length=1), b"\xdb\xff\xff\x01\xff"),
    ],
    ids=["wakeup", "status", "one-byte", "no-data", "defaults", "keyword", "largest"],
)
def test_commands_on_the_wire(orvex, pty_pair, stream, send, wire):
    send(orvex.Handle(stream))
    assert pty_pair.receive(len(wire)) == wire
    assert pty_pair.drain() == b""


@pytest.mark.parametrize(
    "args, error",
    [
        ((65536, 0), TypeError),
        ((1, 256), TypeError),
        ((1, 1, 256), TypeError),
        ((1, 1, 1.0), TypeError),
        ((1.0, 0), TypeError),
        ((1, 2, 5), ValueError),
        ((1, 255, 5), ValueError),
        ((1, 1), ValueError),
        ((1, 1, None), ValueError),
    ],
)
def test_refused_handle_states_send_nothing(orvex, pty_pair, stream, args, error):
    with pytest.raises(error):
        orvex.Handle(stream).SendHandleState(*args)
    assert pty_pair.drain() == b""


def test_handle_needs_a_stream(orvex):
    with pytest.raises(TypeError):
        orvex.Handle(None)
    with pytest.raises(TypeError):
        orvex.Handle()


def test_handle_keeps_its_stream_alive(orvex, pty_pair):
    gc.collect()  # streams that earlier tests left to the collector close now, not during the count
    before = len(os.listdir("/proc/self/fd"))
    handle = orvex.Handle(orvex.SerialStream(pty_pair.path))
    gc.collect()
    handle.SendDeviceWakeup()
    assert pty_pair.receive(1) == b"\x0a"
    del handle
    gc.collect()
    assert len(os.listdir("/proc/self/fd")) == before


def test_receive_waits_without_the_interpreter_lock(orvex, Recorder, pty_pair, stream):
    # One second shared by both overloads, each on a thread of its own: a status message cut off
    # in its fixed part, and a silent port. Holding the lock, one would wait for the other.
    other_pty = type(pty_pair)()
    try:
        cut_off = Recorder(stream)
        silent = orvex.Handle(orvex.SerialStream(other_pty.path))
        pty_pair.send(status_message([1, 2, 3])[:11])
        results = {}
        threads = [
            threading.Thread(target=lambda: results.update(cut_off=cut_off.Receive())),
            threading.Thread(target=lambda: results.update(silent=silent.Receive(5))),
        ]
        ticks = 0
        start = time.monotonic()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            for thread in threads:
                thread.start()
            while any(thread.is_alive() for thread in threads):
                ticks += 1
                time.sleep(0.001)
        elapsed = time.monotonic() - start
        assert results == {"cut_off": 0, "silent": -1}
        assert cut_off.calls == []
        assert 0.95 <= elapsed <= 1.8
        assert ticks > 100

        # Both streams now stay failed: later messages are never read, and nothing waits.
        pty_pair.send(INFO_REPLY)
        start = time.monotonic()
        assert cut_off.Receive() == -1 and silent.Receive() == -1
        assert time.monotonic() - start < 0.15
        assert cut_off.calls == []
    finally:
        other_pty.close()
