"""The native servo loop against a Corvane stand-in in another process: the forces on the wire,
the safety rules, the measurements and the trace, and a main thread left free."""

import math
import os
import struct
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

DOUBLE = Path(__file__).resolve().parent / "corvane_double.py"
NAN = float("nan")


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def wire(vector):
    """The force as single-precision values on the wire."""
    return tuple(f32(v) for v in vector)


class CorvaneDouble:
    def __init__(self):
        self.process = subprocess.Popen([sys.executable, str(DOUBLE)], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        self.path = self.process.stdout.readline().strip()

    def _send(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def state(self, position, velocity=(0.0, 0.0, 0.0)):
        self._send("state " + " ".join(repr(v) for v in (*position, *velocity)))

    def last(self):
        self._send("last")
        *force, count = self.process.stdout.readline().split()
        return tuple(float(f) for f in force), int(count)

    def silent(self):
        self._send("silent")

    def wait_for(self, wanted, timeout=5.0):
        """The last force once it satisfies wanted (a predicate or a value), else the last one."""
        check = wanted if callable(wanted) else (lambda f: f == pytest.approx(wanted, rel=1e-6, abs=1e-9))
        deadline = time.monotonic() + timeout
        while True:
            force, count = self.last()
            if count and check(force) or time.monotonic() > deadline:
                return force
            time.sleep(0.01)

    def close(self):
        self.process.stdin.close()
        self.process.wait(10)


@pytest.fixture
def double():
    stand_in = CorvaneDouble()
    yield stand_in
    stand_in.close()


@pytest.fixture
def make_loop(orvex, haptics, double):
    """Loops on the stand-in's port; stopped after the test."""
    loops = []

    def make(rate_hz=1000.0, **settings):
        loop = haptics.ServoLoop(orvex.SerialStream(double.path), rate_hz, **settings)
        loops.append(loop)
        return loop

    yield make
    for loop in loops:
        loop.stop()


# --- effect laws at the wire ---------------------------------------------------------------

X, V = (0.01, -0.02, 0.03), (0.1, 0.2, -0.3)


def spring_law(anchor, k, c):
    return tuple(-k * (f32(x) - a) - c * f32(v) for x, v, a in zip(X, V, anchor))


def wall_law(point, normal, k, c):
    length = math.sqrt(sum(n * n for n in normal))
    n = [e / length for e in normal]
    d = sum((f32(x) - p) * e for x, p, e in zip(X, point, n))
    s = -k * d - c * sum(f32(v) * e for v, e in zip(V, n))
    return (0.0, 0.0, 0.0) if d >= 0 or s < 0 else tuple(s * e for e in n)


LAWS = {
    "spring": (lambda h: h.Spring(anchor=[0.02, 0.0, -0.01], stiffness=50.0, damping=2.0),
               spring_law((0.02, 0.0, -0.01), 50.0, 2.0)),
    "damper": (lambda h: h.Damper(coefficient=3.0), tuple(-3.0 * f32(v) for v in V)),
    "constant": (lambda h: h.ConstantForce(force=[1.0, -2.0, 0.5]), (1.0, -2.0, 0.5)),
    "wall inside": (lambda h: h.Wall(point=[0, 0, 0.05], normal=[0, 0, 2], stiffness=100.0),
                    wall_law((0, 0, 0.05), (0, 0, 2), 100.0, 0.0)),
    "wall outside": (lambda h: h.Wall(point=[0, 0, 0.0], normal=[0, 0, 1], stiffness=100.0),
                     (0.0, 0.0, 0.0)),
    # Inside, but leaving so fast that damping would pull: a wall never pulls.
    "wall never pulls": (lambda h: h.Wall(point=[0, 0, 0.05], normal=[0, 0, -1], stiffness=1.0,
                                          damping=100.0),
                         (0.0, 0.0, 0.0)),
    "slanted wall": (lambda h: h.Wall(point=[0.02, 0, 0], normal=[1, 1, 0], stiffness=80.0,
                                      damping=5.0),
                     wall_law((0.02, 0, 0), (1, 1, 0), 80.0, 5.0)),
}


@pytest.mark.parametrize("name", LAWS)
def test_each_effect_commands_its_law(haptics, double, make_loop, name):
    make_effect, expected = LAWS[name]
    assert name != "wall inside" or expected[2] > 0
    double.state(X, V)
    loop = make_loop(watchdog_s=0)
    loop.add(make_effect(haptics))
    loop.start()
    assert double.wait_for(wire(expected)) == pytest.approx(wire(expected), rel=1e-6, abs=1e-9)


def test_effects_and_the_application_force_add_up(haptics, double, make_loop):
    double.state(X, V)
    loop = make_loop(watchdog_s=0)
    loop.add(haptics.Damper(3.0))
    loop.add(haptics.ConstantForce([1.0, 0.0, 0.0]))
    loop.force = (0.0, 0.5, 0.0)
    loop.start()
    expected = wire((-3.0 * f32(V[0]) + 1.0, -3.0 * f32(V[1]) + 0.5, -3.0 * f32(V[2])))
    assert double.wait_for(expected) == pytest.approx(expected, rel=1e-6)


def test_a_force_over_the_limit_is_shortened_with_its_direction_kept(haptics, double, make_loop):
    # Without a ramp: one ramp cycle scales the force to exactly the limit, unclamped.
    loop = make_loop(max_force=10.0, watchdog_s=0, ramp_s=0)
    loop.add(haptics.ConstantForce([30.0, -40.0, 0.0]))
    loop.start()
    assert double.wait_for((6.0, -8.0, 0.0)) == pytest.approx((6.0, -8.0, 0.0), rel=1e-6)
    assert loop.stats()["clamped"] > 0


def test_replies_that_are_not_numbers_are_bad_replies_never_forces(haptics, double, make_loop):
    double.state((NAN, 0.0, float("inf")), (NAN, NAN, NAN))
    loop = make_loop(watchdog_s=0, trace_capacity=10, lost_after_s=5.0)
    loop.add(haptics.Spring([0, 0, 0], stiffness=10.0))
    loop.force = [1.0, 1.0, 1.0]
    loop.start()
    deadline = time.monotonic() + 5
    while loop.stats()["bad_replies"] < 5 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert loop.stats()["bad_replies"] >= 5
    # No good reply yet: nothing is rendered, and no impossible state is the arm's.
    force, _ = double.last()
    assert force == (0.0, 0.0, 0.0)
    assert all(math.isfinite(v) for v in loop.state()["position"] + loop.state()["force"])


def test_parameter_changes_reach_the_running_loop(haptics, double, make_loop):
    double.state(X, V)
    spring = haptics.Spring([0, 0, 0], stiffness=10.0)
    loop = make_loop(watchdog_s=0)
    loop.add(spring)
    loop.start()
    assert double.wait_for(wire(spring_law((0, 0, 0), 10.0, 0.0)))
    spring.stiffness = 40.0
    spring.anchor = (0.01, 0.0, 0.0)
    spring.damping = 1.0
    expected = wire(spring_law((0.01, 0.0, 0.0), 40.0, 1.0))
    assert double.wait_for(expected) == pytest.approx(expected, rel=1e-6, abs=1e-9)
    loop.remove(spring)
    assert double.wait_for((0.0, 0.0, 0.0)) == (0.0, 0.0, 0.0)
    loop.add(spring)
    loop.clear()
    assert double.wait_for((0.0, 0.0, 0.0)) == (0.0, 0.0, 0.0)


# --- safety -----------------------------------------------------------------------------------

def test_the_watchdog_zeroes_the_force_until_fed(haptics, double, make_loop):
    loop = make_loop(watchdog_s=0.2)
    loop.add(haptics.ConstantForce([0.0, 0.0, 2.0]))
    loop.force = [1.0, 0.0, 0.0]
    loop.start()
    # The first cycle sends zero too, before any reply: wait for the trip itself.
    deadline = time.monotonic() + 5.0
    while loop.stats()["watchdog_trips"] < 1 and time.monotonic() < deadline:
        time.sleep(0.01)
    trips = loop.stats()["watchdog_trips"]
    assert trips >= 1
    assert double.wait_for((0.0, 0.0, 0.0)) == (0.0, 0.0, 0.0)

    def fed(force):
        loop.feed()
        return force == (1.0, 0.0, 2.0)

    assert double.wait_for(fed) == (1.0, 0.0, 2.0)
    loop.force = [1.0, 0.0, 0.0]
    assert double.wait_for((0.0, 0.0, 0.0)) == (0.0, 0.0, 0.0)
    assert loop.stats()["watchdog_trips"] > trips


def test_stop_ends_with_zero_force(haptics, double, make_loop):
    loop = make_loop(watchdog_s=0)
    loop.force = [1.0, 2.0, 3.0]
    with loop:
        assert loop.running
        assert double.wait_for((1.0, 2.0, 3.0)) == (1.0, 2.0, 3.0)
    assert not loop.running
    assert double.last()[0] == (0.0, 0.0, 0.0)
    assert loop.stats()["stop_reason"] == "stop"
    loop.stop()  # again: nothing


def test_exit_without_stop_still_sends_zero_force(orvex, double):
    program = textwrap.dedent("""
        import sys, time
        sys.path.insert(0, %r)
        import OrvexHardwareAPI, OrvexHaptics
        loop = OrvexHaptics.ServoLoop(OrvexHardwareAPI.SerialStream(%r), watchdog_s=0)
        loop.force = [1.0, 2.0, 3.0]
        loop.start()
        time.sleep(0.3)
        print("running", loop.running, flush=True)
    """ % (os.path.dirname(orvex.__file__), double.path))
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True,
                          timeout=30)
    assert done.returncode == 0, done.stderr
    assert "running True" in done.stdout
    force, count = double.last()
    assert count > 1 and force == (0.0, 0.0, 0.0)


def test_a_silent_device_stops_the_loop_as_lost(double, make_loop, capfd):
    loop = make_loop(watchdog_s=0)
    loop.start()
    assert double.wait_for(lambda force: True) is not None
    double.silent()
    deadline = time.monotonic() + 5
    while loop.running and time.monotonic() < deadline:
        time.sleep(0.02)
    assert not loop.running
    assert loop.stats()["stop_reason"] == "device lost"
    loop.stop()


def test_two_loops_on_one_stream_are_refused(orvex, haptics, double, make_loop):
    stream = orvex.SerialStream(double.path)
    first = haptics.ServoLoop(stream)
    second = haptics.ServoLoop(stream)
    first.start()
    try:
        with pytest.raises(RuntimeError, match="another loop or listener runs on this stream"):
            second.start()
        with pytest.raises(RuntimeError, match="running already"):
            first.start()
    finally:
        first.stop()
    second.start()  # free again once the first has stopped
    second.stop()


def test_a_port_without_a_corvane_does_not_start(orvex, haptics, pty_pair):
    pty_pair.send(bytes([43]) + bytes(1024))
    loop = haptics.ServoLoop(orvex.SerialStream(pty_pair.path))
    with pytest.raises(RuntimeError, match="model 4"):
        loop.start()
    assert not loop.running and loop.info is None


# --- measurements, state, trace --------------------------------------------------------------

STATS_KEYS = {"cycles", "rate_hz", "missed", "late_p50_us", "late_p99_us", "late_max_us",
              "exchange_p50_us", "exchange_p99_us", "exchange_max_us", "clamped", "non_finite",
              "watchdog_trips", "realtime", "memory_locked", "bad_replies", "speed_limited",
              "reconnects", "stop_reason", "passivity_energy_j", "passivity_cycles",
              "exchange_budget_us", "recorded", "record_lost", "started", "reconnect_refusal"}


def test_state_stats_and_info(double, make_loop):
    double.state((0.01, 0.02, 0.03), (0.0625, 0.0, -0.0625))
    loop = make_loop(watchdog_s=0)
    assert loop.state() is None and loop.info is None
    assert set(loop.stats()) == STATS_KEYS and loop.stats()["stop_reason"] is None
    loop.start()
    assert loop.info["device_model_number"] == 4 and loop.info["device_id"] == 300
    double.wait_for(lambda force: True)
    deadline = time.monotonic() + 5
    while (loop.state() is None or loop.state()["cycle"] < 20) and time.monotonic() < deadline:
        time.sleep(0.01)
    state = loop.state()
    assert state["position"] == [f32(0.01), f32(0.02), f32(0.03)]
    assert state["velocity"] == [0.0625, 0.0, -0.0625]
    assert state["time"] > 0 and state["force"] == [0.0, 0.0, 0.0] and state["connected"] is True
    stats = loop.stats()
    assert set(stats) == STATS_KEYS and stats["cycles"] >= 20 and stats["rate_hz"] > 0
    assert 0 < stats["exchange_p50_us"] <= stats["exchange_p99_us"] <= stats["exchange_max_us"]
    assert stats["late_p50_us"] <= stats["late_p99_us"] <= stats["late_max_us"]
    # The default asks for the real-time class and runs on without it.
    assert isinstance(stats["realtime"], bool) and stats["bad_replies"] == 0


def test_the_trace_is_a_float64_table_of_the_last_cycles_oldest_first(haptics, double, make_loop,
                                                                      tmp_path):
    # Columns are only ever added at the end: a column keeps its index.
    assert haptics.TRACE_COLUMNS == (
        "time", "x", "y", "z", "vx", "vy", "vz", "fx", "fy", "fz", "exchange_us", "proxy_x",
        "proxy_y", "proxy_z", "cycle", "reply_cycle", "connected", "reply_refused", "ramping",
        "step_limited", "speed_limited", "clamped", "watchdog")
    double.state((0.01, 0.02, 0.03), (0.0625, 0.0, -0.0625))
    loop = make_loop(watchdog_s=0, trace_capacity=50, ramp_s=0)
    assert len(loop.trace()) == 0 and memoryview(loop.trace()).shape == (0, 23)
    loop.force = [0.25, 0.0, 0.0]
    loop.start()
    deadline = time.monotonic() + 10
    while loop.stats()["cycles"] < 120 and time.monotonic() < deadline:
        time.sleep(0.02)
    loop.stop()  # a running loop may take the oldest row of a full ring while it is copied
    trace = loop.trace()
    view = memoryview(trace)
    assert len(trace) == 50
    assert (view.format, view.itemsize, view.ndim, view.shape) == ("d", 8, 2, (50, 23))
    assert view.c_contiguous and view.readonly
    rows = view.tolist()
    times = [row[0] for row in rows]
    assert times == sorted(times) and len(set(times)) == 50
    assert rows[-1][1:10] == [f32(0.01), f32(0.02), f32(0.03), 0.0625, 0.0, -0.0625, 0.25, 0.0, 0.0]
    assert all(row[10] > 0 for row in rows)

    path = tmp_path / "trace.csv"
    trace.to_csv(path)
    lines = path.read_text().splitlines()
    assert lines[0] == ",".join(haptics.TRACE_COLUMNS)
    assert [[float(v) for v in line.split(",")] for line in lines[1:]] == rows
    with pytest.raises(OSError):
        trace.to_csv(tmp_path / "missing" / "trace.csv")


def test_numpy_takes_the_trace_without_copying(haptics, double, make_loop):
    numpy = pytest.importorskip("numpy")
    loop = make_loop(watchdog_s=0, trace_capacity=20)
    loop.start()
    deadline = time.monotonic() + 10
    while loop.stats()["cycles"] < 30 and time.monotonic() < deadline:
        time.sleep(0.02)
    loop.stop()
    trace = loop.trace()
    table = numpy.asarray(trace)
    assert table.dtype == numpy.float64 and table.shape == (20, len(haptics.TRACE_COLUMNS))
    assert table.base is not None and not table.flags.owndata


def test_the_main_thread_stays_free(double, make_loop):
    loop = make_loop(watchdog_s=0)
    loop.start()
    double.wait_for(lambda force: True)
    before = loop.stats()["cycles"]
    counter, end = 0, time.monotonic() + 1.0
    while time.monotonic() < end:
        counter += 1
    assert counter > 1000
    assert loop.stats()["cycles"] - before > 50


# --- arguments --------------------------------------------------------------------------------

@pytest.mark.parametrize("settings", [
    dict(rate_hz=0.0), dict(rate_hz=10000.5), dict(rate_hz=NAN), dict(max_force=0.0),
    dict(max_force=float("inf")), dict(watchdog_s=-0.1), dict(trace_capacity=-1),
])
def test_settings_outside_their_range_are_refused(orvex, haptics, pty_pair, settings):
    with pytest.raises(ValueError):
        haptics.ServoLoop(orvex.SerialStream(pty_pair.path), **settings)


@pytest.mark.parametrize("make", [
    lambda h: h.Wall([0, 0, 0], [0, 0, 0], 1.0),
    lambda h: h.Wall([0, 0, 0], [0, 0, 1], -1.0),
    lambda h: h.Wall([0, 0, 0], [0, 0, 1], 1.0, damping=NAN),
    lambda h: h.Spring([0, 0, 0], stiffness=float("inf")),
    lambda h: h.Spring([0, 0], stiffness=1.0),
    lambda h: h.Damper(coefficient=-2.0),
    lambda h: h.ConstantForce([1.0, NAN, 0.0]),
])
def test_effects_refuse_values_outside_their_law(haptics, make):
    with pytest.raises(ValueError):
        make(haptics)


def test_effect_attributes_read_back_and_refuse_bad_values(haptics):
    wall = haptics.Wall(point=(1, 2, 3), normal=[0, 2, 0], stiffness=5, damping=1)
    assert (wall.point, wall.normal, wall.stiffness, wall.damping) == ([1, 2, 3], [0, 2, 0], 5, 1)
    with pytest.raises(ValueError):
        wall.normal = [0.0, 0.0, 0.0]
    with pytest.raises(ValueError):
        wall.stiffness = -1.0
    assert wall.normal == [0, 2, 0] and wall.stiffness == 5


@pytest.mark.parametrize("force, error", [
    ([1.0, 2.0], ValueError), ([1.0, 2.0, 3.0, 4.0], ValueError), ("xyz", TypeError),
    (3.0, TypeError), ([NAN, 0, 0], ValueError), ([0, float("inf"), 0], ValueError),
    ([None, 0, 0], TypeError)])
def test_the_force_takes_three_finite_numbers_only(orvex, haptics, pty_pair, force, error):
    loop = haptics.ServoLoop(orvex.SerialStream(pty_pair.path))
    with pytest.raises(error, match="force"):
        loop.force = force
    assert loop.force == [0.0, 0.0, 0.0]
    loop.force = (1, 2.5, -3)
    assert loop.force == [1.0, 2.5, -3.0]


def test_adding_twice_or_removing_a_stranger_is_an_error(orvex, haptics, pty_pair):
    loop = haptics.ServoLoop(orvex.SerialStream(pty_pair.path))
    damper = haptics.Damper(1.0)
    loop.add(damper)
    with pytest.raises(ValueError):
        loop.add(damper)
    with pytest.raises(ValueError):
        loop.remove(haptics.Damper(1.0))
    loop.remove(damper)
