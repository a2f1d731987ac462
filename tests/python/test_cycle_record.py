"""One cycle record, one clock and self-describing recordings: the defaults and keys the stub
states, times of the loop and the listener on one clock, marks at their cycle, each effect's
force, the new columns against the wire, and load() of old and new recordings.

Recordings are read here by the sidecar's column names without numpy, which the interpreter under
test may lack; load() itself needs numpy, and its tests run where numpy is."""

import ast
import bisect
import json
import re
import struct
import time
from pathlib import Path

import pytest

from test_servo_loop import double  # noqa: F401 (a fixture)
from test_handle_listener import status_message
from test_recording import read_recording, verbose_arm, wire_exchanges  # noqa: F401 (a fixture)

STUB = Path(__file__).resolve().parents[2] / "python" / "OrvexHaptics.pyi"
OLD_COLUMNS = ("time", "x", "y", "z", "vx", "vy", "vz", "fx", "fy", "fz", "exchange_us",
               "proxy_x", "proxy_y", "proxy_z", "cycle")


def stub_class(name):
    tree = ast.parse(STUB.read_text())
    return next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == name)


def stub_keys(name):
    return [node.target.id for node in stub_class(name).body if isinstance(node, ast.AnnAssign)]


def stub_defaults(function):
    arguments = function.args
    positional = arguments.args[len(arguments.args) - len(arguments.defaults):]
    pairs = list(zip(positional, arguments.defaults)) + list(
        zip(arguments.kwonlyargs, arguments.kw_defaults))
    return {a.arg: ast.literal_eval(d) for a, d in pairs if d is not None}


@pytest.fixture
def running(orvex, haptics, double):
    """A loop on the stand-in, started with the settings given; stopped after the test."""
    loops = []

    def start(**settings):
        loop = haptics.ServoLoop(orvex.SerialStream(double.path), 1000.0, lost_after_s=5.0,
                                 **settings)
        loops.append(loop)
        loop.start()
        deadline = time.monotonic() + 10
        while (loop.state() is None or loop.state()["cycle"] < 20) and time.monotonic() < deadline:
            time.sleep(0.01)
        return loop

    yield start
    for loop in loops:
        loop.stop()


def columns(haptics, path):
    """A new recording's columns by name, as lists, read by its sidecar's names."""
    names = haptics.describe(path)["columns"]
    rows = read_recording(path)
    return {name: [row[i] for row in rows] for i, name in enumerate(names)}


def wait_for_cycles(loop, count):
    target = loop.stats()["cycles"] + count
    deadline = time.monotonic() + 10
    while loop.stats()["cycles"] < target and time.monotonic() < deadline:
        time.sleep(0.01)


# --- one table -----------------------------------------------------------------------------------

def test_the_defaults_agree_in_the_library_the_signature_and_the_stub(haptics):
    init = next(node for node in stub_class("ServoLoop").body
                if isinstance(node, ast.FunctionDef) and node.name == "__init__")
    signature = haptics.ServoLoop.__init__.__doc__.splitlines()[0]
    live = {name: ast.literal_eval(value)
            for name, value in re.findall(r"(\w+): [^=,]+? = ([^,)]+)", signature)}
    assert stub_defaults(init) == haptics.SERVO_DEFAULTS == live


def test_the_stub_names_every_key_of_state_and_stats_in_order(running):
    loop = running(watchdog_s=0)
    assert list(loop.state()) == stub_keys("_ServoState")
    assert list(loop.stats()) == stub_keys("_ServoStats")


def test_the_columns_are_the_old_ones_then_the_cycles_own(haptics):
    assert haptics.TRACE_COLUMNS[:15] == OLD_COLUMNS
    assert haptics.TRACE_COLUMNS[15:] == ("reply_cycle", "connected", "reply_refused", "ramping",
                                          "step_limited", "speed_limited", "clamped", "watchdog")


@pytest.mark.parametrize("limit", ["max_force_step", "max_speed"])
@pytest.mark.parametrize("value", [0.0, -1.0, float("inf")])
def test_no_limit_is_none_and_a_limit_is_positive(orvex, haptics, double, limit, value):
    with pytest.raises(ValueError, match=limit):
        haptics.ServoLoop(orvex.SerialStream(double.path), **{limit: value})


# --- one clock -----------------------------------------------------------------------------------

def test_loop_listener_and_stats_tell_time_on_one_clock(orvex, haptics, running, pty_pair):
    before = haptics.now()
    loop = running(watchdog_s=0, trace_capacity=5000)
    with haptics.HandleListener(orvex.SerialStream(pty_pair.path)) as listener:
        time.sleep(0.05)
        pty_pair.send(status_message(b""))
        [message] = listener.messages(1, timeout=5.0)
        wait_for_cycles(loop, 5)
    after = haptics.now()
    times = [row[0] for row in memoryview(loop.trace()).tolist()]
    assert before <= loop.stats()["started"] <= times[0] and times[-1] <= after
    assert before <= message["time"] <= after
    # Some cycle began no later than the message arrived, and the next one after it: the two
    # stamps of that instant lie within a period of each other (1 ms, when no deadline slips).
    began = bisect.bisect_right(times, message["time"]) - 1
    assert 0 <= began < len(times) - 1
    assert times[began] <= message["time"] < times[began + 1]


# --- marks ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("ending", [".csv", ".npy"])
def test_marks_land_at_their_cycle_in_the_trace_and_the_recording(haptics, running, tmp_path,
                                                                  ending):
    path = tmp_path / ("marked" + ending)
    loop = running(watchdog_s=0, trace_capacity=5000)
    loop.record(path)
    for trial in range(3):
        wait_for_cycles(loop, 30)
        loop.mark("stimulus", trial=trial, level=0.5 * trial)
    wait_for_cycles(loop, 30)
    trace = loop.trace()
    loop.stop()
    loop.stop_recording()
    rows = columns(haptics, path)
    marks = haptics.describe(path)["marks"]
    assert [m["label"] for m in marks] == ["stimulus"] * 3
    assert [m["fields"] for m in marks] == [{"trial": t, "level": 0.5 * t} for t in range(3)]
    assert [(m["time"], m["cycle"], m["label"]) for m in trace.marks] == [
        (m["time"], m["cycle"], m["label"]) for m in marks]
    for mark in marks:
        at = rows["cycle"].index(mark["cycle"])
        # The cycle before it began before the mark, the one after it began after.
        assert rows["time"][at - 1] < mark["time"] < rows["time"][at + 1]


def test_a_marks_label_and_fields_come_back_as_given(haptics, running, tmp_path):
    path = tmp_path / "labels.csv"
    loop = running(watchdog_s=0)
    loop.record(path)
    label = 'said "stop"\\\n\tthen \u00e9\x01'
    loop.mark(label, nested={"list": [1, 2.5, None, True]}, text="\u2713")
    loop.stop_recording()
    [mark] = haptics.describe(path)["marks"]
    assert mark["label"] == label
    assert mark["fields"] == {"nested": {"list": [1, 2.5, None, True]}, "text": "\u2713"}


def test_a_mark_needs_json_fields(running):
    loop = running(watchdog_s=0)
    with pytest.raises(TypeError):
        loop.mark("odd", value=object())


# --- per-effect forces ---------------------------------------------------------------------------

def test_each_effects_force_is_recorded_and_they_sum_to_the_force_before_the_limits(
        haptics, running, tmp_path):
    path = tmp_path / "effects.npy"
    loop = running(watchdog_s=0, ramp_s=0, max_force=3.0)
    loop.add(haptics.Spring(anchor=[0.05, 0.0, 0.0], stiffness=40.0), name="subject")
    loop.add(haptics.ConstantForce([0.0, 1.0, 0.0]))
    loop.add(haptics.ConstantForce([0.0, 0.0, -0.5]))
    wait_for_cycles(loop, 50)  # past the effects' own fade-in
    loop.record(path, effects=True)
    wait_for_cycles(loop, 100)
    loop.stop()
    loop.stop_recording()
    rows = columns(haptics, path)
    effects = ("subject", "constantforce0", "constantforce1")
    axes = ("_fx", "_fy", "_fz")
    assert list(rows)[23:] == [e + a for e in effects for a in axes]
    assert len(rows["cycle"]) > 50 and 0 in rows["clamped"]
    for n, clamped in enumerate(rows["clamped"]):
        rendered = [sum(rows[e + a][n] for e in effects) for a in axes]
        sent = [rows[f][n] for f in ("fx", "fy", "fz")]
        if not clamped:  # what went out is what the effects asked for, as a float32
            assert sent == pytest.approx(rendered, rel=1e-6, abs=1e-6), n
    assert set(rows["subject_fy"]) == {0.0} and set(rows["constantforce0_fy"]) == {1.0}


# --- the new columns against the wire ------------------------------------------------------------

def test_the_new_columns_against_the_wire(orvex, haptics, verbose_arm, tmp_path):  # noqa: F811
    port, log_path = verbose_arm
    path = tmp_path / "run.csv"
    # A loaded machine may hold replies up for long: no cycle here is to find the device lost.
    loop = haptics.ServoLoop(orvex.SerialStream(port), 500, watchdog_s=0.05, ramp_s=0.04,
                             max_force=2.0, lost_after_s=5.0)
    loop.add(haptics.ConstantForce([3.0, 0.0, 0.0]))
    loop.record(path)
    loop.start()
    time.sleep(0.3)  # nobody feeds: the watchdog trips at 0.05 s and holds
    loop.stop()
    loop.stop_recording()
    rows = columns(haptics, path)
    commands, _ = wire_exchanges(log_path.read_text())
    count = len(rows["cycle"])
    assert len(commands) == count + 1
    assert set(rows["connected"]) == {1.0} and set(rows["reply_refused"]) == {0.0}
    # The first cycle has no reply to compute from; each later one the reply of the cycle before
    # (or an earlier one on a busy machine), never a later one.
    assert rows["reply_cycle"][0] == -1
    assert all(0 <= rows["reply_cycle"][n] < n for n in range(1, count))
    seen = set()
    for n in range(count):
        fx = commands[n][0]
        if rows["watchdog"][n]:
            seen.add("watchdog")
            assert commands[n] == (0.0, 0.0, 0.0) and not rows["clamped"][n]
        elif rows["ramping"][n]:
            seen.add("ramping")
            assert abs(fx) < 2.0 or (rows["clamped"][n] and fx == 2.0)
        elif rows["reply_cycle"][n] >= 0:
            seen.add("clamped")
            assert rows["clamped"][n] and fx == 2.0
    assert seen == {"watchdog", "ramping", "clamped"}


# --- load() --------------------------------------------------------------------------------------

def npy_bytes(rows):
    header = "{'descr': '<f8', 'fortran_order': False, 'shape': (%d, %d), }" % (
        len(rows), len(rows[0]))
    header = header.ljust(128 - 11) + "\n"
    body = b"".join(struct.pack("<%dd" % len(row), *row) for row in rows)
    return b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header.encode() + body


@pytest.mark.parametrize("ending", [".csv", ".npy"])
def test_load_reads_old_recordings_by_their_known_columns(haptics, tmp_path, ending):
    numpy = pytest.importorskip("numpy")
    values = numpy.arange(45, dtype=float).reshape(3, 15)
    path = tmp_path / ("old" + ending)
    values = values.tolist()
    if ending == ".npy":
        path.write_bytes(npy_bytes(values))
    else:
        path.write_text(",".join(OLD_COLUMNS) + "\n" + "".join(
            ",".join(repr(v) for v in row) + "\n" for row in values))
    rows = haptics.load(path)
    assert rows.dtype.names == OLD_COLUMNS and haptics.describe(path) is None
    assert rows["cycle"].tolist() == [row[14] for row in values]
    assert rows["fx"].tolist() == [row[7] for row in values]


@pytest.mark.parametrize("ending", [".csv", ".npy"])
def test_load_reads_new_recordings_by_their_sidecar(haptics, running, tmp_path, ending):
    numpy = pytest.importorskip("numpy")
    path = tmp_path / ("new" + ending)
    wall_before = time.time()
    loop = running(watchdog_s=0)
    loop.record(path)
    wait_for_cycles(loop, 40)
    loop.stop()
    result = loop.stop_recording()
    rows = haptics.load(path)
    described = haptics.describe(path)
    assert rows.dtype.names == haptics.TRACE_COLUMNS == tuple(described["columns"])
    assert len(rows) == result["rows"] > 30
    assert described["clock"] == "monotonic seconds"
    anchor = described["anchor"]
    assert wall_before - 1 <= anchor["wall_s"] <= time.time()
    # The first row may be the cycle that was under way when recording began, woken just before.
    assert anchor["monotonic_s"] - 0.1 <= rows["time"][0] < anchor["monotonic_s"] + 5
    assert json.loads((tmp_path / (path.name + ".json")).read_text()) == described
    assert numpy.array_equal(rows["cycle"], rows["cycle"][0] + numpy.arange(len(rows)))  # no gap


def test_load_refuses_what_it_cannot_name(haptics, tmp_path):
    pytest.importorskip("numpy")
    path = tmp_path / "odd.npy"
    path.write_bytes(npy_bytes([[0.0] * 7] * 2))
    with pytest.raises(ValueError, match="no sidecar"):
        haptics.load(path)
    with pytest.raises(ValueError, match=r"\.csv or \.npy"):
        haptics.load(tmp_path / "odd.txt")


def test_a_sidecar_path_held_by_a_fifo_is_refused_without_waiting(running, tmp_path):
    import os

    path = tmp_path / "run.csv"
    os.mkfifo(str(path) + ".json")
    loop = running(watchdog_s=0)
    with pytest.raises(FileExistsError):
        loop.record(path)
    assert loop.stop_recording() is None
    loop.record(tmp_path / "next.csv")  # nothing of the refused one is left running
    assert loop.stop_recording()["error"] is None
