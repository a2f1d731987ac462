"""Faults end to end: devices that vanish, answer late or send garbage, ports that are no ports,
many objects made and dropped, and several devices driven from several threads at once."""

import os
import random
import re
import struct
import subprocess
import sys
import threading
import time

import pytest

from conftest import PtyPair

ERR_LINE = re.compile(r"\[err\] Library/src/Device/Device\.cpp:\d+> unable to (.*): \[(\d+)\] (.*)")
WRITE_13 = "write '13' bytes to stream"
READ_HEADER = "read header code from stream"
READ_1024 = "read '1024' bytes from stream"
ZEROS = ([0.0] * 3, [0.0] * 3)


def floats(*values):
    return struct.pack("<%df" % len(values), *values)


def state_reply(*values):
    return bytes([43]) + floats(*values)


def status_message(device_id, quaternion, user_data):
    return bytes([218]) + struct.pack("<HBB4fB", device_id, 0, 0, *quaternion,
                                      len(user_data)) + bytes(user_data)


def as_float32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def err_lines(text):
    """The reports in text, as (what failed, errno); anything else on the stream is an error."""
    lines = text.splitlines()
    matches = [ERR_LINE.fullmatch(line) for line in lines]
    assert all(matches), lines
    return [(m.group(1), int(m.group(2))) for m in matches]


def timed(call, *args):
    started = time.monotonic()
    result = call(*args)
    return result, time.monotonic() - started


def assert_quick(expected, call, *args, limit=0.5):
    result, seconds = timed(call, *args)
    assert result == expected and seconds < limit, (result, seconds)


def in_thread(call):
    """Starts call on a thread; the returned function joins it and gives (result, seconds)."""
    outcome = {}
    thread = threading.Thread(target=lambda: outcome.update(value=timed(call)))
    thread.start()

    def join():
        thread.join(10)
        assert not thread.is_alive()
        return outcome["value"]

    return join


# -- the device vanishes ---------------------------------------------------------------------

def test_vanished_device_fails_every_exchange_at_once_and_says_so(orvex, pty_pair, capfd, Recorder):
    stream = orvex.SerialStream(pty_pair.path)
    corvane, handle = orvex.Corvane(stream), Recorder(stream)
    pty_pair.send(state_reply(1, 2, 3, 4, 5, 6))
    assert corvane.end_effector_force([0.5, 0, 0]) == ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])
    os.close(pty_pair.master)

    for _ in range(3):
        assert_quick(ZEROS, corvane.end_effector_force, [1, 2, 3])
    assert_quick(-1, handle.Receive)
    handle.SendHandleState(1, 1, 2)
    assert handle.calls == []

    reports = err_lines(capfd.readouterr().err)
    assert [what for what, _ in reports] == [WRITE_13, READ_HEADER, READ_1024] * 3 + [
        READ_HEADER, "write '5' bytes to stream"]
    assert reports[0][1] == 5  # EIO: the line hung up


def test_device_vanishing_while_a_read_waits_is_a_time_out(orvex, pty_pair, capfd):
    stream = orvex.SerialStream(pty_pair.path)
    handle, corvane = orvex.Handle(stream), orvex.Corvane(stream)
    join = in_thread(handle.Receive)
    time.sleep(0.2)
    os.close(pty_pair.master)
    # A hung-up line reads as a silent one: the wait ends at the time limit, not later.
    result, seconds = join()
    assert result == -1 and 0.9 < seconds < 1.5
    # The stream is spent like after any time-out: later calls do nothing, at once and quietly.
    assert_quick(ZEROS, corvane.end_effector_force, [1, 2, 3], limit=0.1)
    assert capfd.readouterr().err == ""


# -- late and garbled answers -------------------------------------------------------------------

def test_answers_after_the_time_limit_are_not_taken_for_later_replies(orvex, capfd):
    arm_port, handle_port = PtyPair(), PtyPair()
    try:
        corvane = orvex.Corvane(orvex.SerialStream(arm_port.path))
        handle = orvex.Handle(orvex.SerialStream(handle_port.path))
        # One wait shared by both devices.
        joins = [in_thread(lambda: corvane.end_effector_force([1, 2, 3])), in_thread(handle.Receive)]
        time.sleep(1.3)
        arm_port.send(state_reply(1, 2, 3, 4, 5, 6))
        handle_port.send(status_message(7, (1, 0, 0, 0), b""))
        (arm_result, arm_seconds), (handle_result, handle_seconds) = [join() for join in joins]
        assert arm_result == ZEROS and 0.9 < arm_seconds < 1.3
        assert handle_result == -1 and 0.9 < handle_seconds < 1.3

        # The stream stays spent: later calls do nothing, at once, and the late replies stay unread.
        assert_quick(ZEROS, corvane.end_effector_force, [1, 2, 3], limit=0.1)
        assert_quick(-1, handle.Receive, limit=0.1)
        assert arm_port.receive(26, 0.05) == bytes([42]) + floats(1, 2, 3)
        assert capfd.readouterr().err == ""

        # Recovery is a new stream and device; the late reply must not answer their first command.
        corvane = orvex.Corvane(orvex.SerialStream(arm_port.path))
        arm_port.send(state_reply(7, 8, 9, 10, 11, 12))
        assert corvane.end_effector_force([1, 2, 3]) == ([7, 8, 9], [10, 11, 12])
    finally:
        arm_port.close()
        handle_port.close()


def test_garbage_before_a_reply_is_dropped_and_the_next_exchange_works(orvex, pty_pair, capfd):
    corvane = orvex.Corvane(orvex.SerialStream(pty_pair.path))
    noise = random.Random(8)
    # A wrong code is followed by exactly a buffer's worth, which the exchange throws away.
    pty_pair.send(bytes([44]) + bytes(noise.randrange(256) for _ in range(1024)))
    pty_pair.send(state_reply(-1, -2, -3, 4, 5, 6))
    assert_quick(ZEROS, corvane.end_effector_force, [1, 2, 3])
    assert corvane.end_effector_force([1, 2, 3]) == ([-1.0, -2.0, -3.0], [4.0, 5.0, 6.0])
    assert capfd.readouterr().err == ""


def test_handle_skips_unknown_codes_then_reads_its_message(orvex, pty_pair, Recorder):
    handle = Recorder(orvex.SerialStream(pty_pair.path))
    noise = random.Random(8)
    garbage = bytes(b for b in (noise.randrange(256) for _ in range(500)) if b not in (208, 218, 223))
    pty_pair.send(garbage + status_message(300, (0.5, 0, 0, 0), b"\x01\x02"))
    assert [handle.Receive() for _ in garbage] == [-1] * len(garbage)
    assert handle.Receive() == 23
    assert handle.calls == [("status", (300, [0.5, 0.0, 0.0, 0.0], 0, 0, 2, [1, 2]))]


def test_random_bytes_reach_the_callbacks_only_as_whole_messages(orvex, pty_pair, Recorder):
    handle = Recorder(orvex.SerialStream(pty_pair.path))
    noise = random.Random(9)
    sent = 4000  # within what the pty holds unread
    pty_pair.send(bytes(noise.randrange(256) for _ in range(sent)))
    # Each Receive takes at least one byte until the one that waits out the time limit.
    results, seconds = timed(lambda: [handle.Receive() for _ in range(sent + 1)])
    assert results[-1] == -1 and seconds < 3
    assert set(results) <= {-1, 0, 3, 6} | set(range(21, 277))
    for kind, args in handle.calls:
        assert all(isinstance(a, (int, list)) for a in args)
        if kind == "status":
            assert len(args[5]) == args[4] and all(0 <= b <= 255 for b in args[5])


# -- paths that are no ports --------------------------------------------------------------------

def _no_port(tmp_path, kind):
    """A path that names no terminal, and a check that nothing of it has changed."""
    path = tmp_path / "port"
    if kind == "file":
        path.write_bytes(b"a log that must survive")
        return str(path), lambda: path.read_bytes() == b"a log that must survive"
    if kind == "folder":
        path.mkdir()
        return str(path), lambda: list(path.iterdir()) == []
    if kind == "fifo":
        os.mkfifo(path)
        reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)

        def fifo_empty():
            # Its writers are gone with the stream: what they wrote would come before the end.
            try:
                return os.read(reader, 1) == b""
            finally:
                os.close(reader)

        return str(path), fifo_empty
    return "/dev/null", lambda: True


def _exchange_on(orvex, capfd, path):
    corvane = orvex.Corvane(orvex.SerialStream(path))
    result, seconds = timed(corvane.end_effector_force, [1, 2, 3])
    return result, seconds, [what for what, _ in err_lines(capfd.readouterr().err)]


@pytest.mark.parametrize("kind", ["file", "folder", "fifo", "null device"])
def test_path_that_is_no_terminal_fails_like_a_missing_one_and_is_never_written(
        orvex, tmp_path, capfd, kind):
    missing = _exchange_on(orvex, capfd, str(tmp_path / "missing"))
    path, unchanged = _no_port(tmp_path, kind)
    result, seconds, reports = _exchange_on(orvex, capfd, path)
    assert (result, reports) == (missing[0], missing[2]) == (ZEROS, [WRITE_13, READ_HEADER, READ_1024])
    assert seconds < 0.5  # nothing to wait for: the stream never opened
    assert unchanged()


# -- lifetimes -------------------------------------------------------------------------------------

def _open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def test_ten_thousand_streams_and_devices_leave_no_descriptor_open(orvex, pty_pair, Recorder):
    before = _open_descriptors()
    for i in range(10000):
        stream = orvex.SerialStream(pty_pair.path if i % 10 else "/nonexistent/port")
        devices = [orvex.Corvane(stream), orvex.Handle(stream), Recorder(stream)]
        if i % 2:
            del stream  # the devices keep it alive, and the last of them takes it along
            del devices
        else:
            del devices
            del stream
    assert _open_descriptors() == before


# -- threads -----------------------------------------------------------------------------------

# The devices, in a process of their own: each port's master descriptor, its kind and its number.
# A Corvane answers a force command with its number and the command's values; a handle answers a
# handle state with a status message carrying its number and the state's id and user data. Ends
# when its standard input closes.
RESPONDERS = """
import os, select, struct, sys
ports = {int(fd): (kind, int(n)) for fd, kind, n in (a.split(":") for a in sys.argv[1:])}
sizes = {"corvane": 13, "handle": 5}
pending = {fd: b"" for fd in ports}
while True:
    ready = select.select(list(ports) + [0], [], [])[0]
    if 0 in ready:
        break
    for fd in ready:
        kind, n = ports[fd]
        pending[fd] += os.read(fd, 4096)
        size = sizes[kind]
        while len(pending[fd]) >= size:
            command, pending[fd] = pending[fd][:size], pending[fd][size:]
            if kind == "corvane":
                x, y, z = struct.unpack("<3f", command[1:])
                reply = bytes([43]) + struct.pack("<6f", n, x, y, z, n, -n)
            else:
                device_id, length, data = struct.unpack("<HBB", command[1:])
                reply = bytes([218]) + struct.pack("<HBB4fB", device_id, 0, 0, n, 0, 0, 0, 2) \\
                    + bytes([data, n])
            os.write(fd, reply)
"""


def test_four_threads_drive_four_devices_each_getting_its_own_replies(orvex, Recorder, capfd):
    kinds = ["corvane", "handle", "corvane", "handle"]
    ports = [PtyPair() for _ in kinds]
    devices = subprocess.Popen(
        [sys.executable, "-c", RESPONDERS] +
        ["%d:%s:%d" % (port.master, kind, n) for n, (port, kind) in enumerate(zip(ports, kinds))],
        stdin=subprocess.PIPE, pass_fds=[port.master for port in ports])
    deadline = time.monotonic() + 3
    exchanges = [0] * 4
    mismatches = []

    def drive_corvane(n, port):
        corvane = orvex.Corvane(orvex.SerialStream(port.path))
        noise = random.Random(n)
        while time.monotonic() < deadline:
            x, y = float(exchanges[n]), as_float32(noise.uniform(-10, 10))
            reply = corvane.end_effector_force([x, y, n])
            if reply != ([float(n), x, y], [float(n), float(n), float(-n)]):
                mismatches.append((n, exchanges[n], reply))
                return
            exchanges[n] += 1

    def drive_handle(n, port):
        handle = Recorder(orvex.SerialStream(port.path))
        while time.monotonic() < deadline:
            device_id, data = (exchanges[n] * 7) % 65536, exchanges[n] % 256
            handle.SendHandleState(device_id, 1, data)
            count = handle.Receive()
            expected = [("status", (device_id, [float(n), 0.0, 0.0, 0.0], 0, 0, 2, [data, n]))]
            if count != 23 or handle.calls != expected:
                mismatches.append((n, exchanges[n], count, handle.calls))
                return
            handle.calls.clear()
            exchanges[n] += 1

    drivers = {"corvane": drive_corvane, "handle": drive_handle}
    threads = [threading.Thread(target=drivers[kind], args=(n, port))
               for n, (port, kind) in enumerate(zip(ports, kinds))]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(10)
        assert not any(thread.is_alive() for thread in threads)
    finally:
        devices.stdin.close()
        devices.wait(10)
        for port in ports:
            port.close()
    assert mismatches == []
    assert min(exchanges) > 100, exchanges
    assert capfd.readouterr().err == ""
