"""Recordings of the servo loop and the handle listener: every cycle as it was on the wire, no
row lost while the main thread holds the interpreter lock, losses counted exactly, files that
stay readable when the process is killed, and trace copies after a cycle."""

import ast
import csv
import ctypes
import os
import signal
import struct
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import EMULATOR, MODULE_DIR

FORCE, STATE = 0x2A, 0x2B


def read_npy(path):
    """(rows the header counts, the rows of whole values) of a recording's .npy file."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x93NUMPY\x01\x00"
    length = struct.unpack("<H", data[8:10])[0]
    header = ast.literal_eval(data[10:10 + length].decode())
    assert header["descr"] == "<f8" and not header["fortran_order"]
    count, columns = header["shape"]
    body = data[10 + length:]
    whole = min(count, len(body) // (8 * columns))
    values = struct.unpack("<%dd" % (whole * columns), body[:whole * columns * 8])
    return count, [values[i * columns:(i + 1) * columns] for i in range(whole)]


def read_csv(path):
    with open(path, newline="") as file:
        rows = list(csv.reader(file))
    return rows[0], [tuple(float(v) for v in row) for row in rows[1:]]


def read_recording(path):
    if str(path).endswith(".npy"):
        return read_npy(path)[1]
    return read_csv(path)[1]


def wire_exchanges(log):
    """The force commands and state replies an emulator logged (-v), in order, as floats."""
    commands, replies = [], []
    for line in log.splitlines():
        words = line.split(":")
        if len(words) < 2 or not words[-1].strip():
            continue
        data = bytes(int(b, 16) for b in words[-1].split())
        if " in " in line and data[0] == FORCE:
            commands.append(struct.unpack("<3f", data[1:13]))
        elif " out " in line and data[0] == STATE:
            replies.append(struct.unpack("<6f", data[1:25]))
    return commands, replies


@pytest.fixture
def verbose_arm(tmp_path):
    """An emulated arm that logs every message on the wire to a file."""
    log_path = tmp_path / "wire.log"
    with open(log_path, "w") as log:
        process = subprocess.Popen([str(EMULATOR), "--corvane", "-v"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=log, text=True)
    port = process.stdout.readline().split()[1]
    yield port, log_path
    process.stdin.close()
    process.wait(10)


@pytest.mark.parametrize("ending", [".csv", ".npy"])
def test_a_recording_is_the_wire_cycle_for_cycle(orvex, haptics, verbose_arm, tmp_path, ending):
    port, log_path = verbose_arm
    path = tmp_path / ("run" + ending)
    loop = haptics.ServoLoop(orvex.SerialStream(port), 500, watchdog_s=0)
    loop.add(haptics.Spring(anchor=[0.01, -0.02, 0.005], stiffness=200.0, damping=1.0))
    loop.record(path)
    loop.start()
    time.sleep(0.4)
    loop.stop()
    result = loop.stop_recording()
    rows = read_recording(path)
    assert result == {"rows": len(rows), "lost": 0}
    assert loop.stats()["recorded"] == len(rows) and loop.stats()["record_lost"] == 0
    commands, replies = wire_exchanges(log_path.read_text())
    # The last command is stop()'s zero force, after the last cycle.
    assert len(commands) == len(rows) + 1 == len(replies)
    # A row holds the state the loop had at its cycle: that cycle's reply, or on a busy machine
    # an earlier one whose successor had not come whole in time; never a later one, never out of
    # order.
    answered = 0
    for cycle, row in enumerate(rows):
        assert row[14] == cycle
        assert row[7:10] == commands[cycle]
        while answered < cycle and row[1:7] != replies[answered]:
            answered += 1
        assert row[1:7] == replies[answered], cycle
    assert any(abs(f) > 0 for row in rows for f in row[7:10])


def test_no_row_is_lost_while_the_main_thread_holds_the_lock(orvex, haptics, emulator, tmp_path):
    arm = emulator("--corvane")
    path = tmp_path / "held.npy"
    with haptics.ServoLoop(orvex.SerialStream(arm.path(0)), 1000, watchdog_s=0) as loop:
        loop.record(path)
        ctypes.PyDLL(None).usleep(2_000_000)  # one C call that keeps the interpreter lock
        cycles_then = loop.stats()["cycles"]
    result = loop.stop_recording()
    count, rows = read_npy(path)
    assert result["lost"] == 0 and result["rows"] == count == len(rows) >= cycles_then - 50
    assert [row[14] for row in rows] == list(range(int(rows[0][14]), int(rows[0][14]) + len(rows)))


def run_python(script, timeout=30):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                          text=True, timeout=timeout, env={**os.environ, "PYTHONPATH": str(MODULE_DIR)})


LOOP_ON_EMULATOR = """
    import os, resource, signal, subprocess, sys, time
    import OrvexHardwareAPI, OrvexHaptics
    arm = subprocess.Popen([{emulator!r}, "--corvane"], stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE, text=True)
    port = arm.stdout.readline().split()[1]
    loop = OrvexHaptics.ServoLoop(OrvexHardwareAPI.SerialStream(port), 1000, watchdog_s=0)
"""


def test_rows_a_full_disk_refuses_are_counted_exactly_and_the_loop_runs_on(tmp_path):
    path = tmp_path / "full.npy"
    # A file size limit stands in for a disk that fills up during the recording.
    done = run_python(LOOP_ON_EMULATOR.format(emulator=str(EMULATOR)) + f"""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4 * 1024, 4 * 1024))  # some 30 rows
    loop.record({str(path)!r})
    loop.start()
    deadline = time.monotonic() + 20
    while loop.stats()["cycles"] < 300 and time.monotonic() < deadline:
        time.sleep(0.05)
    running = loop.running
    loop.stop()
    print(loop.stop_recording(), loop.stats()["cycles"], running, loop.stats()["stop_reason"])
    """)
    assert done.returncode == 0, done.stderr
    result, cycles, running, reason = done.stdout.rsplit(" ", 3)
    result = ast.literal_eval(result)
    assert running == "True" and reason.strip() == "stop"
    assert result["rows"] > 0 and result["lost"] > 0
    assert result["rows"] + result["lost"] == int(cycles)
    count, rows = read_npy(path)
    assert count == len(rows) == result["rows"]


@pytest.mark.parametrize("ending", [".npy", ".csv"])
def test_a_recording_cut_off_by_a_kill_reads_up_to_its_last_second(tmp_path, ending):
    path = tmp_path / ("killed" + ending)
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(LOOP_ON_EMULATOR.format(emulator=str(EMULATOR)) + f"""
    loop.record({str(path)!r})
    loop.start()
    time.sleep(1.5)
    print(loop.state()["time"], flush=True)
    time.sleep(30)
    """)], stdout=subprocess.PIPE, text=True, env={**os.environ, "PYTHONPATH": str(MODULE_DIR)})
    killed_at = float(child.stdout.readline())
    child.send_signal(signal.SIGKILL)
    child.wait(10)
    if ending == ".npy":
        count, rows = read_npy(path)
        assert count == len(rows)
    else:
        text = path.read_text()
        rows = [tuple(float(v) for v in line.split(",")) for line in text.splitlines()[1:]
                if line.count(",") == 14 and (line + "\n") in text]
    assert [row[14] for row in rows] == list(range(len(rows)))
    assert rows[-1][0] >= killed_at - 1.0


def test_a_recording_ends_whole_at_interpreter_exit(tmp_path):
    path = tmp_path / "exit.npy"
    done = run_python(LOOP_ON_EMULATOR.format(emulator=str(EMULATOR)) + f"""
    loop.record({str(path)!r})
    loop.start()
    deadline = time.monotonic() + 20
    while loop.stats()["cycles"] < 200 and time.monotonic() < deadline:
        time.sleep(0.05)
    """)
    assert done.returncode == 0, done.stderr
    count, rows = read_npy(path)
    assert count == len(rows) > 100
    assert os.path.getsize(path) == 128 + count * 15 * 8


def test_trace_since_gives_exactly_the_new_rows_and_the_overwritten_count(orvex, haptics, emulator):
    arm = emulator("--corvane")
    with haptics.ServoLoop(orvex.SerialStream(arm.path(0)), 1000, watchdog_s=0,
                           trace_capacity=100) as loop:
        while loop.stats()["cycles"] < 300:
            time.sleep(0.01)
        first = loop.trace(since=0)
        cycles = [row[14] for row in memoryview(first).tolist()]
        assert cycles == list(range(int(cycles[0]), int(cycles[0]) + len(cycles)))
        # A full ring copied while the loop runs may lose its oldest row to the next push.
        assert len(first) in (99, 100) and first.overwritten == cycles[0] - 1
        newer = loop.trace(since=cycles[-1])
        new_cycles = [row[14] for row in memoryview(newer).tolist()]
        assert newer.overwritten == 0 or new_cycles[0] == cycles[-1] + 1 + newer.overwritten
        assert not new_cycles or new_cycles[0] == cycles[-1] + 1 + newer.overwritten
        whole = loop.trace()
        assert whole.overwritten + len(whole) >= cycles[-1] + 1
        future = loop.trace(since=10**9)
        assert len(future) == 0 and future.overwritten == 0
        with pytest.raises(ValueError):
            loop.trace(since=-2)


def test_record_refusals(orvex, haptics, emulator, tmp_path):
    arm = emulator("--corvane")
    loop = haptics.ServoLoop(orvex.SerialStream(arm.path(0)), 1000)
    assert loop.stop_recording() is None
    with pytest.raises(ValueError, match=r"\.csv or \.npy"):
        loop.record(tmp_path / "run.txt")
    with pytest.raises(FileNotFoundError):
        loop.record(tmp_path / "missing" / "run.csv")
    loop.record(tmp_path / "run.csv")
    with pytest.raises(RuntimeError, match="runs already"):
        loop.record(tmp_path / "other.csv")
    assert loop.stop_recording() == {"rows": 0, "lost": 0}
    assert loop.stop_recording() == {"rows": 0, "lost": 0}
    assert loop.stats()["exchange_budget_us"] == pytest.approx(1000.0)


def test_a_handle_recording_holds_every_message_numbered(orvex, haptics, emulator, tmp_path):
    grip = emulator("--handle", "--stream", "300")
    path = tmp_path / "grip.csv"
    listener = haptics.HandleListener(orvex.SerialStream(grip.path(0)))
    listener.record(path)
    with listener:
        listener.wakeup()
        time.sleep(0.4)
    result = listener.stop_recording()
    stats = listener.stats()
    header, rows = read_csv(path)
    assert header[:3] == ["time", "kind", "device_id"] and header[-1] == "message"
    assert result == {"rows": stats["messages"], "lost": 0} and stats["recorded"] == len(rows)
    assert [row[-1] for row in rows] == list(range(len(rows)))
    assert rows[0][1] == 1 and all(row[1] == 0 for row in rows[1:])
    assert all(abs(sum(q * q for q in row[3:7]) - 1) < 1e-3 for row in rows[1:])
