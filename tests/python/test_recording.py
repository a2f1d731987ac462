"""Recordings of the servo loop and the handle listener: every cycle as it was on the wire, no
row lost while the main thread holds the interpreter lock, losses counted exactly, files that
stay readable when the process is killed, paths that are no regular file refused without a wait,
a file removed while recording reported, and trace copies after a cycle."""

import ast
import csv
import ctypes
import errno
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
    assert result == {"rows": len(rows), "lost": 0, "error": None}
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
    assert result["error"].startswith("writing the file failed: ")
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
                if line.count(",") == 22 and (line + "\n") in text]
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
    assert os.path.getsize(path) == 128 + count * 23 * 8


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
    assert loop.stop_recording() == {"rows": 0, "lost": 0, "error": None}
    assert loop.stop_recording() == {"rows": 0, "lost": 0, "error": None}
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
    assert result == {"rows": stats["messages"], "lost": 0, "error": None}
    assert stats["recorded"] == len(rows)
    assert [row[-1] for row in rows] == list(range(len(rows)))
    assert rows[0][1] == 1 and all(row[1] == 0 for row in rows[1:])
    assert all(abs(sum(q * q for q in row[3:7]) - 1) < 1e-3 for row in rows[1:])


DRIVER = {
    "loop": """
    arm = subprocess.Popen([{emulator!r}, "--corvane"], stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE, text=True)
    port = arm.stdout.readline().split()[1]
    driver = OrvexHaptics.ServoLoop(OrvexHardwareAPI.SerialStream(port), 1000, watchdog_s=0)
""",
    "listener": """
    grip = subprocess.Popen([{emulator!r}, "--handle", "--stream", "200"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    port = grip.stdout.readline().split()[1]
    driver = OrvexHaptics.HandleListener(OrvexHardwareAPI.SerialStream(port))
""",
}


@pytest.mark.parametrize("driver", ["loop", "listener"])
@pytest.mark.parametrize("target", ["fifo", "fifo with a reader", "link", "socket"])
def test_what_is_no_regular_file_is_refused_at_once_and_stats_never_wait(tmp_path, driver,
                                                                         target):
    path = tmp_path / "target.csv"
    kept = tmp_path / "kept.csv"
    kept.write_text("kept\n")
    # In a process of its own: a recording that waited for a FIFO's reader would hang it.
    done = run_python("""
    import errno, os, socket, subprocess, threading, time
    import OrvexHardwareAPI, OrvexHaptics
    """ + DRIVER[driver].format(emulator=str(EMULATOR)) + f"""
    path, target = {str(path)!r}, {target!r}
    if target.startswith("fifo"):
        os.mkfifo(path)
        reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK) if "reader" in target else None
    elif target == "link":
        os.symlink({str(kept)!r}, path)
    else:
        server = socket.socket(socket.AF_UNIX)
        server.bind(path)
    driver.start()
    outcome = []
    def record():
        try:
            driver.record(path)
            outcome.append("recording")
        except OSError as e:
            outcome.append((type(e).__name__, e.errno, e.strerror, e.filename == path))
    recorder = threading.Thread(target=record)
    began = time.monotonic()
    recorder.start()
    calls = 0
    while calls == 0 or (recorder.is_alive() and time.monotonic() - began < 5):
        driver.stats()  # holds the interpreter lock while it asks for the totals
        calls += 1
    recorder.join(5)
    took = time.monotonic() - began
    if target == "fifo with a reader":
        assert os.read(reader, 100) == b"", "the FIFO was opened for writing"
    driver.stop()
    print(repr((outcome, took, calls, driver.stop_recording())))
    """)
    assert done.returncode == 0, done.stderr
    outcome, took, calls, result = ast.literal_eval(done.stdout)
    if target == "link":
        assert outcome == [("OSError", errno.ELOOP, os.strerror(errno.ELOOP), True)]
        assert kept.read_text() == "kept\n"
    else:
        assert outcome == [("FileExistsError", errno.EEXIST, "not a regular file", True)]
    # Refused at once, and stats() answered meanwhile (a wide bound: a loaded machine).
    assert took < 2 and calls > 0 and result is None


@pytest.mark.parametrize("driver", ["loop", "listener"])
def test_a_recording_whose_folder_is_deleted_says_its_rows_are_lost(tmp_path, driver):
    folder = tmp_path / "session"
    folder.mkdir()
    done = run_python("""
    import shutil, subprocess, time
    import OrvexHardwareAPI, OrvexHaptics
    """ + DRIVER[driver].format(emulator=str(EMULATOR)) + f"""
    driver.record({str(folder / "run.csv")!r})
    driver.start()
    if hasattr(driver, "wakeup"):
        driver.wakeup()
    time.sleep(0.4)
    before = driver.stats()["recorded"]
    shutil.rmtree({str(folder)!r})
    deadline = time.monotonic() + 5
    while driver.stats()["recorded"] and time.monotonic() < deadline:
        time.sleep(0.02)
    during = (driver.stats()["recorded"], driver.stats()["record_lost"])
    driver.stop()
    print(repr((before, during, driver.stop_recording(), driver.stats()["record_lost"])))
    """)
    assert done.returncode == 0, done.stderr
    before, during, result, lost = ast.literal_eval(done.stdout)
    assert before > 0
    assert during[0] == 0 and during[1] >= before
    assert result == {"rows": 0, "lost": lost, "error": "the file was removed while recording"}
    assert lost > before
    assert not folder.exists()
