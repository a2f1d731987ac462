"""The servo-loop examples end to end on the emulator: the Python programs as a user runs them, and
the C++ program built against the installed package alone."""

import csv
import os
import subprocess
import sys

import pytest

from conftest import MODULE_DIR
from test_stub import ROOT

WALL_X = 0.03  # the examples' wall face; pushed at 1.5 N against 2000 N/m, the arm rests 0.75 mm in


def _run(command, timeout=120, **options):
    done = subprocess.run([str(part) for part in command], capture_output=True, text=True,
                          timeout=timeout, **options)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def _run_example(name, *args):
    return _run([sys.executable, ROOT / "examples" / name, *args],
                env=dict(os.environ, PYTHONPATH=str(MODULE_DIR)))


def test_haptic_wall_holds_the_arm_at_the_wall_and_writes_its_trace(emulator, tmp_path):
    trace = tmp_path / "trace.csv"
    out = _run_example("haptic_wall.py", emulator("--corvane").path(0), 2, trace)
    assert "stopped by stop" in out and "primes" in out
    with trace.open() as f:
        rows = list(csv.reader(f))
    import OrvexHaptics

    assert tuple(rows[0]) == OrvexHaptics.TRACE_COLUMNS
    assert 100 < len(rows) - 1 <= 1000
    times = [float(row[0]) for row in rows[1:]]
    assert times == sorted(times)
    # The push has brought the arm to the wall, and the wall holds it there.
    x = float(rows[-1][1])
    assert WALL_X - 0.002 < x < WALL_X + 0.005, (x, out[-600:])


def test_servo_vs_python_thread_reports_both_loops(emulator):
    out = _run_example("servo_vs_python_thread.py", emulator("--corvane").path(0), 0.5)
    lines = out.splitlines()
    assert [line.split("  ")[0] for line in lines[1:]] == [
        "native servo loop", "the same loop, Python thread"]
    assert all("deadlines held" in line for line in lines[1:])


def _hand(name, *more):
    """The emulator's options for the hand an example's page names."""
    return ["--hand", str(ROOT / "examples" / "hands" / (name + ".csv")), *more]


def test_push_the_box_moves_the_box_and_reports_the_force_steps(emulator):
    out = _run_example("push_the_box.py",
                       emulator("--corvane", *_hand("push_the_box", "--hand-loop")).path(0), 1.2)
    lines = out.splitlines()
    assert lines[0].split() == ["time", "s", "box", "x", "mm", "arm", "x", "mm", "felt", "N"]
    box_x = [float(line.split()[1]) for line in lines[1:] if line[:1] == " "]
    assert max(box_x) > 1.0  # mm: the hand's push moved it through the coupling
    assert "force step between two cycles, Coupling, hold interpolate: p99" in out
    assert "force step between two cycles, Spring moved: p99" in out


def test_guidance_adapts_its_path_at_60_hz_and_reports_the_force_steps(emulator):
    out = _run_example("guidance.py", emulator("--corvane").path(0), 1.5)
    lines = out.splitlines()
    assert lines[0].split() == ["time", "s", "error", "mm", "stiffness", "N/m"]
    stiffness = [float(line.split()[2]) for line in lines[1:] if line[:1] == " "]
    assert max(stiffness) > 100.0  # the assistance rose as the arm lagged
    assert "force step between two cycles: p99" in out


def test_teleoperation_reports_tracking_and_force_steps(emulator):
    running = emulator("--corvane", *_hand("teleoperation", "--hand-loop"), "--corvane")
    out = _run_example("teleoperation.py", running.path(0), running.path(1), 0.5)
    assert out.startswith("tracking error: p99 ")
    # The hand's 2 N moves A through the coupling: the passivity of the loop does not cancel it.
    reach = float(out.split("arm A reached ")[1].split()[0])
    assert reach > 5.0, out
    assert "force step between two cycles: p99 " in out


def _installed_cpp_example(tmp_path_factory, name):
    """examples/cpp/NAME built against the C++ library installed under a prefix of its own."""
    work = tmp_path_factory.mktemp(name)
    prefix = work / "prefix"
    _run(["cmake", "--install", MODULE_DIR, "--component", "devices", "--prefix", prefix])
    _run(["cmake", "-S", ROOT / "examples" / "cpp" / name, "-B", work / "build",
          "-DCMAKE_PREFIX_PATH=%s" % prefix], timeout=300)
    _run(["cmake", "--build", work / "build"], timeout=300)
    return work / "build" / name


@pytest.fixture(scope="module")
def servo_wall_program(tmp_path_factory):
    return _installed_cpp_example(tmp_path_factory, "servo_wall")


def test_cpp_servo_wall_runs_against_the_installed_package(servo_wall_program, emulator):
    out = _run([servo_wall_program, emulator("--corvane").path(0), 0.5])
    assert out.startswith("Corvane 1, model 4")
    assert out.rstrip().endswith("stopped")


def test_cpp_servo_wall_says_why_it_did_not_start(servo_wall_program, pty_pair):
    done = subprocess.run([str(servo_wall_program), pty_pair.path, "0.5"], capture_output=True,
                          text=True, timeout=30)
    assert done.returncode == 1
    assert "servo loop not started: no Corvane answered the wake-up" in done.stderr


def test_custom_laws_render_expressions_and_native_functions(emulator):
    out = _run_example("custom_laws.py", emulator("--corvane").path(0), 0.5)
    lines = out.splitlines()
    assert [line.split("  ")[0] for line in lines[1:4:2]] == [
        "snap point and viscous box", "snap point in C (ctypes)"]
    # The snap point has pulled the arm to itself.
    assert "distance to the snap point 0.00" in lines[2]
    assert "deadlines held" in lines[-1] or "numba is not installed" in lines[-1]


def test_cpp_snap_point_catches_the_arm(tmp_path_factory, emulator):
    program = _installed_cpp_example(tmp_path_factory, "snap_point")
    out = _run([program, emulator("--corvane").path(0), 0.5])
    assert out.startswith("snap point: captured,") and out.rstrip().endswith("stopped")


@pytest.mark.parametrize("ending", [".npy", ".csv"])
def test_record_wall_records_every_cycle_across_a_held_lock(emulator, tmp_path, ending):
    path = tmp_path / ("wall" + ending)
    out = _run_example("record_wall.py", emulator("--corvane", *_hand("record_wall")).path(0), 2.5,
                       path)
    rows = int(out.split(": ")[-1].split(" rows")[0])
    assert rows > 100 and ", 0 lost, 0 gaps" in out, out


def test_feel_shapes_touches_each_shape_and_reports_the_loop(emulator):
    out = _run_example("feel_shapes.py",
                       emulator("--corvane", *_hand("feel_shapes", "--hand-loop")).path(0), 3)
    assert "torus of 20000 triangles" in out
    for name in ("sphere", "box", "torus"):
        line = next(l for l in out.splitlines() if l.startswith(name) and "touched" in l)
        assert "deepest" in line
    assert "stopped by stop" in out and "primes" in out
