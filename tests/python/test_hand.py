"""The operator's hand on the emulated arm: its force moves the arm beside the commanded force and
never reaches the line; the truth file and the control socket tell what really happened."""

import cmath
import csv
import math
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import EMULATOR, MODULE_DIR

testing = pytest.importorskip("OrvexHaptics.testing")

MASS, ARM_DAMPING = 0.5, 4.0                 # the arm's defaults
GRIP_STIFFNESS, GRIP_DAMPING = 300.0, 8.0    # a relaxed grip's


@pytest.fixture
def devices():
    started = testing.start_emulator()
    yield started
    started.stop()


def wait_until(condition, timeout_s=10.0):
    deadline = time.monotonic() + timeout_s
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


def test_a_hand_pushing_2_n_into_a_1000_n_per_m_wall_rests_2_mm_in_and_only_the_truth_sees_it(
        orvex, haptics, devices, tmp_path):
    hand = devices.hand
    hand.release()
    recording = tmp_path / "wall.csv"
    with haptics.ServoLoop(orvex.SerialStream(devices.corvane), watchdog_s=0) as loop:
        loop.add(haptics.Wall(point=[0.01, 0, 0], normal=[-1, 0, 0], stiffness=1000.0))
        loop.record(str(recording))
        wait_until(lambda: loop.state() is not None)
        hand.push((2, 0, 0))
        time.sleep(0.5)
        truth = hand.settle(timeout_s=10.0)
        state = loop.state()
        loop.stop_recording()
    assert truth.position[0] == pytest.approx(0.012, abs=1e-4)
    assert truth.hand_force == pytest.approx((2, 0, 0))
    assert truth.force[0] == pytest.approx(-2, abs=0.1)  # the wall's, as the motors apply it
    assert state["position"][0] == pytest.approx(0.012, abs=1e-4)

    # The recording holds the wire's figures: the commanded force, never the hand's.
    with open(recording, newline="") as f:
        rows = list(csv.DictReader(f))
    assert not any("hand" in column for column in rows[0])
    assert float(rows[-1]["fx"]) == pytest.approx(-2, abs=0.1)
    assert float(rows[-1]["x"]) == pytest.approx(0.012, abs=1e-4)
    assert max(float(row["fx"]) for row in rows) <= 1e-9  # the wall's alone: it only pushes back

    truth_file = devices.truth_file()
    assert max(truth_file["hand_fx"]) == pytest.approx(2)
    assert max(truth_file["x"]) > 0.012  # it pressed in and sprang back


def circle_script(path, radius, speed, rows=200):
    period = 2 * math.pi * radius / speed
    with open(path, "w") as f:
        f.write("time,x,y,z\n")
        for i in range(rows + 1):
            angle = 2 * math.pi * i / rows
            f.write("%.6f,%.9f,%.9f,0\n" % (period * i / rows, radius * math.cos(angle),
                                             radius * math.sin(angle)))


def test_a_hand_moving_on_a_circle_is_followed_within_its_grips_lag(
        orvex, haptics, emulator, tmp_path):
    radius, speed = 0.02, 0.1
    circle_script(tmp_path / "circle.csv", radius, speed)
    truth_path = tmp_path / "truth.csv"
    device = emulator("--corvane", "--hand", str(tmp_path / "circle.csv"), "--hand-loop",
                      "--truth", str(truth_path))
    with haptics.ServoLoop(orvex.SerialStream(device.path(0)), watchdog_s=0) as loop:
        wait_until(lambda: loop.state() is not None)
        time.sleep(3.0)
    device.stop()
    truth = testing.read_truth(str(truth_path))

    # The arm, a mass held by the grip's spring towards the target and slowed by the grip's
    # damper and its own friction, follows it as k / (m s^2 + (b + c) s + k) at the circle's
    # angular speed.
    w = 1j * speed / radius
    grip = GRIP_STIFFNESS / (MASS * w * w + (GRIP_DAMPING + ARM_DAMPING) * w + GRIP_STIFFNESS)
    lag = abs(1 - grip) * radius
    # The target is where the grip pulls to: x + (F + b v) / k.
    settled = [i for i, t in enumerate(truth["time"]) if t > truth["time"][-1] - 1.5]
    assert len(settled) > 1000
    errors = []
    for i in settled:
        target = [truth[a][i] + (truth["hand_f" + a][i] + GRIP_DAMPING * truth["v" + a][i])
                  / GRIP_STIFFNESS for a in "xyz"]
        assert math.hypot(*target) == pytest.approx(radius, abs=5e-6)  # chords of the script
        errors.append(math.dist(target, [truth[a][i] for a in "xyz"]))
    assert lag > 1e-3  # a lag worth checking
    assert max(errors) == pytest.approx(lag, rel=0.1)
    assert min(errors) == pytest.approx(lag, rel=0.1)


def test_the_control_socket_round_trips_every_request(devices):
    hand = devices.hand
    truth = hand.impedance(500, 10)
    assert truth.holding is False and truth.hand_force == (0, 0, 0)
    truth = hand.move_to((0.01, 0.0, 0.0), within_s=0.2)
    assert truth.holding
    assert hand.settle().position == pytest.approx((0.01, 0, 0), abs=1e-5)
    truth = hand.push((0, 0, 5))
    assert truth.hand_force[2] == pytest.approx(5, abs=0.01)
    settled = hand.settle()
    assert settled.position[2] == pytest.approx(5 / 500, abs=1e-4)
    truth = hand.release()
    assert truth.holding is False and truth.hand_force == (0, 0, 0)
    with pytest.raises(testing.HandError, match="field 'push'"):
        hand.push((1, 2, 3, 4))
    with pytest.raises(testing.HandError, match="stiffness wants a number from 0 to 5000"):
        hand.impedance(1e6, 1)
    assert hand.truth().time > settled.time


@pytest.mark.parametrize("arguments, said", [
    (["--control", "/no/such/folder/hand.sock"], "--control /no/such/folder/hand.sock: cannot listen"),
    (["--control", "/tmp/" + "x" * 120], "a socket path holds at most 107 bytes"),
    (["--truth", "/no/such/folder/truth.csv"], "--truth /no/such/folder/truth.csv: cannot be written"),
    (["--hand", "SCRIPT", "--hand-loop"], "SCRIPT: row 3, column stiffness: stiffness wants"),
    (["--mass", "0.01"], "--mass wants a number from 0.100000 to 10.000000, not '0.01'"),
    (["--hand-loop"], "--hand-loop repeats a --hand script"),
], ids=["socket-folder", "socket-length", "truth-folder", "script-row", "mass", "loop-alone"])
def test_bad_hands_are_refused_naming_the_option_row_or_field(tmp_path, arguments, said):
    script = tmp_path / "hand.csv"
    script.write_text("time,x,y,z,stiffness\n0,0,0,0,300\n1,0,0,0,-1\n")
    arguments = [str(script) if a == "SCRIPT" else a for a in arguments]
    said = said.replace("SCRIPT", str(script))
    done = subprocess.run([str(EMULATOR), "--corvane", *arguments], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=20)
    assert done.returncode != 0
    assert said in done.stderr


def test_a_socket_that_is_not_ours_is_left_alone(tmp_path):
    taken = tmp_path / "taken"
    taken.write_text("someone's file")
    done = subprocess.run([str(EMULATOR), "--corvane", "--control", str(taken)],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=20)
    assert done.returncode == 1
    assert "cannot listen there" in done.stderr
    assert taken.read_text() == "someone's file"


@pytest.mark.slow
def test_the_fixture_works_in_a_suite_outside_the_project(tmp_path):
    """The example of the testing page, run as a user's own suite with the plugin named in its
    conftest.py."""
    text = (Path(__file__).resolve().parents[2] / "docs" / "testing.md").read_text()
    example = text.split("```python\n")[1].split("```")[0]
    suite = tmp_path / "my_suite"
    suite.mkdir()
    (suite / "conftest.py").write_text('pytest_plugins = ["OrvexHaptics.testing"]\n')
    (suite / "test_my_wall.py").write_text(example)
    import pytest as found
    path = os.pathsep.join([str(MODULE_DIR), os.path.dirname(os.path.dirname(found.__file__))])
    done = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q"],
                          cwd=suite, env=dict(os.environ, PYTHONPATH=path),
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "1 passed" in done.stdout
