"""The servo loop's safety at the wire, against the emulator: a line that garbles, drops and cuts
replies short, a device killed and restarted on the same link, start() and stop() from two
threads, interpreter exit racing a daemon thread, and arguments refused for what they would do.

ORVEX_FAULT_SECONDS sets how long each faulty line runs (5 s by default; run it for minutes before
a release)."""

import errno
import math
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

FAULT_SECONDS = float(os.environ.get("ORVEX_FAULT_SECONDS", "5"))
COLUMN = {name: index for index, name in enumerate(
    ("time", "x", "y", "z", "vx", "vy", "vz", "fx", "fy", "fz"))}
UUID = "0123456789abcdef0123456789abcdef"
OTHER_UUID = "fedcba9876543210fedcba9876543210"


def wait_until(condition, timeout):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


def force_length(row):
    return math.sqrt(sum(row[COLUMN[c]] ** 2 for c in ("fx", "fy", "fz")))


@pytest.mark.parametrize("fault", ["--garble", "--drop", "--truncate"])
def test_a_faulty_line_costs_single_cycles_never_the_loop(orvex, haptics, emulator, fault):
    device = emulator("--seed", "7", fault, "0.01", "--corvane")
    # A spring and a damper: within the workspace they never reach the clamp, so a clamped cycle
    # could only come from a reply that is not the arm's state.
    loop = haptics.ServoLoop(orvex.SerialStream(device.path(0)), max_force=10.0, watchdog_s=0,
                             trace_capacity=int(FAULT_SECONDS * 1000) + 2000)
    loop.add(haptics.Spring([0.02, 0.0, 0.0], stiffness=50.0))
    loop.add(haptics.Damper(coefficient=2.0))
    with loop:
        time.sleep(FAULT_SECONDS)
        stats = loop.stats()
        rows = memoryview(loop.trace()).tolist()
        assert loop.running and stats["stop_reason"] is None, stats
    # A bad or missing reply costs its own cycle: the next command goes out as soon as that
    # cycle's reply window (3.5 ms at 1 kHz) closes, never a cycle or a wake-up later. The time
    # from one exchange's end to the next cycle is the scheduler's besides, and the scheduler alone
    # can hold any thread up (see the docs), so the test looks at nearly all cycles.
    exchange = haptics.TRACE_COLUMNS.index("exchange_us")
    idle = sorted(b[0] - a[0] - 1e-6 * a[exchange] for a, b in zip(rows, rows[1:]))
    assert idle[int(0.99 * len(idle))] < 0.004, "idle: %s ms" % [round(1e3 * g, 1) for g in idle[-20:]]
    assert any(row[exchange] > 3000 for row in rows) or fault == "--garble"
    assert stats["bad_replies"] > 0 or fault == "--drop"
    assert stats["clamped"] == 0 and stats["non_finite"] == 0
    assert all(force_length(row) < 10.0 for row in rows)


@pytest.mark.parametrize("seed", ["5", "6"])
def test_garbled_replies_never_step_the_force_of_an_arm_at_rest_on_a_wall(orvex, haptics, emulator,
                                                                          seed):
    # One reply in twenty garbled: an exponent or a high mantissa bit flipped moves the position
    # by millimetres, a force step of several newtons in this wall if it were believed.
    device = emulator("--seed", seed, "--garble", "0.05", "--corvane")
    loop = haptics.ServoLoop(orvex.SerialStream(device.path(0)), watchdog_s=0, trace_capacity=4000)
    loop.add(haptics.Wall([0.01, 0.0, 0.0], [-1.0, 0.0, 0.0], stiffness=1000.0, damping=5.0))
    loop.force = [2.0, 0.0, 0.0]
    with loop:
        assert wait_until(lambda: (loop.state() or {}).get("cycle", 0) > 1500, 10)
        after = loop.state()["cycle"]
        assert wait_until(lambda: loop.state()["cycle"] > after + 2000, 10)
        rows = [row for row in memoryview(loop.trace()).tolist() if row[14] > after]
        stats = loop.stats()
    assert stats["bad_replies"] > 0
    # Resting 2 mm into the wall: the force stays near the 2 N that holds it there (a garbled
    # position believed made 10 N peaks here). A loaded machine's late cycles let the arm move
    # some between two believed replies, so the bound on a step is not the resting one.
    fx = [row[COLUMN["fx"]] for row in rows]
    assert max(abs(b - a) for a, b in zip(fx, fx[1:])) < 2.5
    assert max(abs(f) for f in fx) < 4.0


def test_a_killed_device_is_lost_within_lost_after(orvex, haptics, emulator):
    device = emulator("--corvane")
    loop = haptics.ServoLoop(orvex.SerialStream(device.path(0)), watchdog_s=0, lost_after_s=0.25)
    loop.force = [2.0, 0.0, 0.0]
    loop.start()
    assert wait_until(lambda: (loop.state() or {}).get("cycle", 0) > 300, 5)
    device.process.kill()
    killed = time.monotonic()
    assert wait_until(lambda: not loop.running, 5)
    assert time.monotonic() - killed < 1.0
    assert loop.stats()["stop_reason"] == "device lost"
    assert loop.state()["connected"] is False
    # A lost loop commands nothing: asking it to is an error, not a silent success.
    for call in (lambda: setattr(loop, "force", [1.0, 0.0, 0.0]), loop.feed, loop.clear,
                 lambda: loop.add(haptics.Damper(1.0)), lambda: loop.remove(haptics.Damper(1.0))):
        with pytest.raises(RuntimeError, match="the loop stopped: device lost"):
            call()
    loop.stop()


@pytest.fixture
def link(tmp_path):
    return str(tmp_path / "ttyACM-safety")


def test_a_device_back_on_its_link_is_adopted_and_ramped_in(orvex, haptics, emulator, link):
    first = emulator("--corvane", "--link", link, "--uuid", UUID)
    loop = haptics.ServoLoop(orvex.SerialStream(link), watchdog_s=0, reconnect=True,
                             trace_capacity=3000)
    loop.force = [2.0, 0.0, 0.0]
    loop.start()
    assert wait_until(lambda: loop.state() and loop.state()["force"][0] == 2.0, 5)
    first.process.kill()
    first.process.wait()
    assert wait_until(lambda: not loop.state()["connected"], 2)
    assert loop.running and loop.stats()["stop_reason"] is None
    # The state stays the last cycle's until a new cycle runs: the force is looked at in the
    # cycles after the device came back.
    lost_cycle = loop.state()["cycle"]

    emulator("--corvane", "--link", link, "--uuid", UUID)
    back = time.monotonic()
    assert wait_until(lambda: loop.state()["connected"] and loop.state()["cycle"] > lost_cycle
                      and loop.state()["force"][0] == 2.0, 5)
    assert time.monotonic() - back < 2.0
    assert loop.stats()["reconnects"] == 1
    # Back from nothing, through the ramp: the first force after the gap is a small one.
    rows = memoryview(loop.trace()).tolist()
    gap = max(range(1, len(rows)), key=lambda i: rows[i][0] - rows[i - 1][0])
    resumed = [row[COLUMN["fx"]] for row in rows[gap:] if row[COLUMN["fx"]] > 0]
    assert resumed[0] < 0.2 and resumed == sorted(resumed)
    loop.stop()
    assert loop.stats()["stop_reason"] == "stop"


def test_a_device_that_only_went_quiet_is_adopted_on_the_port_the_loop_holds(orvex, haptics,
                                                                             emulator):
    """Its port never hung up, so the loop's lock on it stands: the device answers there."""
    device = emulator("--corvane")
    loop = haptics.ServoLoop(orvex.SerialStream(device.path(0)), watchdog_s=0, reconnect=True)
    loop.force = [1.0, 0.0, 0.0]
    loop.start()
    assert wait_until(lambda: loop.state() and loop.state()["force"][0] == 1.0, 5)
    os.kill(device.process.pid, signal.SIGSTOP)
    try:
        assert wait_until(lambda: not loop.state()["connected"], 3)
    finally:
        os.kill(device.process.pid, signal.SIGCONT)
    lost_cycle = loop.state()["cycle"]
    assert wait_until(lambda: loop.state()["connected"] and loop.state()["cycle"] > lost_cycle
                      and loop.state()["force"][0] == 1.0, 5)
    assert loop.stats()["reconnects"] == 1
    loop.stop()
    assert loop.stats()["stop_reason"] == "stop"


def test_another_device_on_the_link_is_not_adopted_and_stop_ends_the_wait(orvex, haptics,
                                                                          emulator, link):
    first = emulator("--corvane", "--link", link, "--uuid", UUID)
    loop = haptics.ServoLoop(orvex.SerialStream(link), watchdog_s=0, reconnect=True)
    loop.start()
    assert wait_until(lambda: loop.state() is not None, 5)
    first.process.kill()
    first.process.wait()
    emulator("--corvane", "--link", link, "--uuid", OTHER_UUID)
    time.sleep(1.0)
    assert not loop.state()["connected"] and loop.stats()["reconnects"] == 0
    asked = time.monotonic()
    loop.stop()
    assert time.monotonic() - asked < 0.5
    assert loop.stats()["stop_reason"] == "stop"


def dashed(uuid):
    return "-".join([uuid[:8], uuid[8:12], uuid[12:16], uuid[16:20], uuid[20:]])


@pytest.mark.parametrize("comes_back, refusal", [
    (["--corvane", "--uuid", OTHER_UUID], "another Corvane, UUID " + dashed(OTHER_UUID)),
    ([], "nothing opens at "),
])
def test_a_reconnecting_loop_says_what_answered_and_gives_up_when_told(
        orvex, haptics, emulator, link, comes_back, refusal):
    first = emulator("--corvane", "--link", link, "--uuid", UUID)
    loop = haptics.ServoLoop(orvex.SerialStream(link), watchdog_s=0, reconnect=True,
                             give_up_s=2.0)
    loop.start()
    assert wait_until(lambda: loop.state() is not None, 5)
    assert loop.stats()["reconnect_refusal"] is None
    first.process.kill()
    first.process.wait()
    if comes_back:
        emulator(*comes_back, "--link", link)
    assert wait_until(lambda: (loop.stats()["reconnect_refusal"] or "").startswith(refusal), 2)
    lost = time.monotonic()
    assert wait_until(lambda: not loop.running, 4)
    # Given up two seconds after the loss, to within an attempt or two.
    assert time.monotonic() - lost < 2.5
    assert loop.stats()["stop_reason"] == "gave up reconnecting"
    assert loop.stats()["reconnects"] == 0
    with pytest.raises(RuntimeError, match="the loop stopped: gave up reconnecting"):
        loop.force = [0.0, 0.0, 0.0]
    loop.stop()


@pytest.mark.parametrize("give_up_s", [0.0, -1.0, float("nan")])
def test_give_up_is_positive_or_none(orvex, haptics, give_up_s):
    with pytest.raises(ValueError, match="give_up_s"):
        haptics.ServoLoop(orvex.SerialStream("/dev/does-not-exist"), give_up_s=give_up_s)
    with pytest.raises(ValueError, match="give_up_s"):
        haptics.HandleListener(orvex.SerialStream("/dev/does-not-exist"), give_up_s=give_up_s)


def test_start_and_stop_from_two_threads_neither_crash_nor_hang(orvex, haptics, emulator):
    device = emulator("--corvane")
    loop = haptics.ServoLoop(orvex.SerialStream(device.path(0)), watchdog_s=0)
    errors = []

    def starts():
        for _ in range(100):
            try:
                loop.start()
            except RuntimeError as error:  # "running already" when the other thread won
                errors.append(str(error))

    starter = threading.Thread(target=starts)
    starter.start()
    for _ in range(100):
        loop.stop()
    starter.join(60)
    assert not starter.is_alive()
    loop.stop()
    assert not loop.running
    assert all("running already" in error for error in errors)


EXIT_RACE = textwrap.dedent("""
    import os, sys, threading, time, tty
    sys.path.insert(0, sys.argv[1])
    import OrvexHardwareAPI as orvex, OrvexHaptics as haptics
    master, slave = os.openpty()
    tty.setraw(slave)
    info = bytes([11, 0x2C, 0x01, 4, 2, 7]) + bytes(16)
    def answer():
        while True:
            data = os.read(master, 64)
            if 10 in data:
                os.write(master, info)
    threading.Thread(target=answer, daemon=True).start()
    loop = haptics.ServoLoop(orvex.SerialStream(os.ttyname(slave)), lost_after_s=60)
    loop.start()
    held = [loop]
    del loop
    def drop():
        time.sleep(float(sys.argv[2]))
        held.clear()
    threading.Thread(target=drop, daemon=True).start()
""")


@pytest.mark.slow
def test_a_daemon_thread_dropping_the_last_reference_at_exit_is_harmless(tmp_path):
    script = tmp_path / "exit_race.py"
    script.write_text(EXIT_RACE)
    module_dir = os.environ["ORVEX_MODULE_DIR"]
    for batch in range(5):
        runs = [subprocess.Popen([sys.executable, str(script), module_dir,
                                  str(0.0005 * (batch * 10 + i))],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                for i in range(10)]
        for run in runs:
            _, err = run.communicate(timeout=60)
            assert run.returncode == 0, err.decode()


@pytest.mark.parametrize("settings, error, named", [
    ({"max_force": 1e300}, ValueError, "max_force"),
    ({"max_force": float("inf")}, ValueError, "max_force"),
    ({"rate_hz": 0.05}, ValueError, "rate_hz"),
    ({"rate_hz": 1e-300}, ValueError, "rate_hz"),
    ({"ramp_s": -1.0}, ValueError, "ramp_s"),
    ({"max_force_step": 0.0}, ValueError, "max_force_step"),
    ({"max_speed": float("nan")}, ValueError, "max_speed"),
    ({"lost_after_s": 0.0}, ValueError, "lost_after_s"),
    ({"rate_hz": "fast"}, TypeError, ""),
    ({"reconnect": "yes"}, TypeError, ""),
])
def test_settings_are_checked_for_what_they_cause(orvex, haptics, pty_pair, settings, error,
                                                  named):
    with pytest.raises(error, match=named):
        haptics.ServoLoop(orvex.SerialStream(pty_pair.path), **settings)


def test_wrong_arguments_are_type_and_value_errors(orvex, haptics, pty_pair):
    loop = haptics.ServoLoop(orvex.SerialStream(pty_pair.path))
    with pytest.raises(TypeError):
        loop.add(None)
    with pytest.raises(TypeError, match="status_or_quaternion"):
        haptics.roll_pitch_yaw("abcd")
    with pytest.raises(ValueError, match="status_or_quaternion"):
        haptics.roll_pitch_yaw([float("nan"), 0.0, 0.0, 0.0])
    with pytest.raises(ValueError, match="status_or_quaternion"):
        haptics.roll_pitch_yaw([1.0, 0.0, 0.0])


def test_start_on_a_port_that_did_not_open_says_why(orvex, haptics):
    loop = haptics.ServoLoop(orvex.SerialStream("/dev/does-not-exist"))
    with pytest.raises(RuntimeError) as refused:
        loop.start()
    assert str(refused.value) == "cannot open /dev/does-not-exist: " + os.strerror(errno.ENOENT)
    # The same error as a file that would not open: an OSError saying which and why.
    assert isinstance(refused.value, haptics.PortError) and isinstance(refused.value, OSError)
    assert refused.value.errno == errno.ENOENT
    assert refused.value.filename == "/dev/does-not-exist"
