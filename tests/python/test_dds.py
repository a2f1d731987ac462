"""The network channel across processes: what a Publisher writes as another DDS process reads it,
and teleoperation between two processes, each running one side's loop on its own emulated arm,
the operator the emulator's hand (teleoperation_pair.py runs the pair)."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import OrvexHaptics

ROOT = Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.skipif(not hasattr(OrvexHaptics, "Teleoperation"),
                                reason="built without DDS (ORVEX_WITH_DDS=OFF)")

WALL_X = 0.03
# Every name of this run under a namespace of its own process, so that runs side by side on one
# machine (another checkout's, another interpreter's) never hear each other.
OWN = "/run%d" % os.getpid()


def echo(kind, topic, domain, count, timeout=10.0):
    """orvex-ros-echo in a process of its own, once its reader exists."""
    program = Path(os.environ.get("ORVEX_MODULE_DIR", ROOT / "build")) / "tools" / "ros-echo" / "orvex-ros-echo"
    process = subprocess.Popen([str(program), kind, topic, "--domain", str(domain), "--count",
                                str(count), "--timeout", str(timeout)],
                               stdout=subprocess.PIPE, text=True)
    assert process.stdout.readline().strip() == "ready"
    return process


def samples(process):
    out, _ = process.communicate(timeout=30)
    rows = [line.split() for line in out.splitlines()]
    return process.returncode, [(int(r[0]) * 10**9 + int(r[1]), r[2], [float(v) for v in r[3:]])
                                for r in rows]


@pytest.mark.parametrize("kind, leaf", [("pose", "pose"), ("twist", "twist"),
                                        ("wrench", "wrench")])
def test_an_arms_state_reaches_another_process_as_ros2_messages(orvex, kind, leaf):
    from OrvexHaptics.testing import start_emulator
    with start_emulator() as emulator:
        loop = OrvexHaptics.ServoLoop(orvex.SerialStream(emulator.corvane), watchdog_s=0)
        loop.add(OrvexHaptics.Spring((0.01, 0, 0), 100.0))
        loop.start()
        reader = echo(kind, "rt" + OWN + "/lab/arm1/" + leaf, 31, 200)
        with OrvexHaptics.Publisher(loop, namespace=OWN + "/lab/arm1", domain=31,
                                    frame_id="arm1_base") as publisher:
            assert publisher.topics == ["rt" + OWN + "/lab/arm1/" + name
                                        for name in ("pose", "twist", "wrench")]
            code, rows = samples(reader)
            stats = publisher.stats()
        loop.stop()
    assert code == 0 and len(rows) == 200
    stamps = [stamp for stamp, _, _ in rows]
    assert all(b > a for a, b in zip(stamps, stamps[1:]))
    assert abs(stamps[-1] / 1e9 - time.time()) < 60
    assert {frame for _, frame, _ in rows} == {"arm1_base"}
    values = [v for _, _, v in rows]
    if kind == "pose":
        assert all(v[3:] == [0, 0, 0, 1] for v in values)
        assert values[-1][0] > 0.001  # the spring drew the arm towards 10 mm
    elif kind == "wrench":
        assert all(v[3:] == [0, 0, 0] for v in values)
        assert any(v[0] > 0.1 for v in values)
    assert stats["published"] >= 600 and stats["dropped"] == 0


def test_a_handles_orientation_is_published_as_imu(orvex):
    from OrvexHaptics.testing import start_emulator
    with start_emulator(corvanes=0, handles=1, stream_hz=200) as emulator:
        listener = OrvexHaptics.HandleListener(orvex.SerialStream(emulator.handle))
        listener.start()
        listener.wakeup()
        reader = echo("imu", "rt" + OWN + "/grip/imu", 32, 20)
        with OrvexHaptics.Publisher(listener, namespace=OWN + "/grip", domain=32) as publisher:
            assert publisher.topics == ["rt" + OWN + "/grip/imu"]
            code, rows = samples(reader)
        listener.stop()
    assert code == 0 and len(rows) == 20
    for _, frame, v in rows:
        assert frame == "orvex_base"
        assert abs(sum(q * q for q in v[:4]) - 1) < 1e-3
        assert v[4:] == [0, -1, -1]  # orientation known; rates and accelerations not


def test_a_reader_on_another_domain_sees_nothing(orvex):
    from OrvexHaptics.testing import start_emulator
    with start_emulator() as emulator:
        loop = OrvexHaptics.ServoLoop(orvex.SerialStream(emulator.corvane), watchdog_s=0)
        loop.start()
        reader = echo("pose", "rt" + OWN + "/lab/pose", 34, 1, timeout=1.5)
        with OrvexHaptics.Publisher(loop, namespace=OWN + "/lab", domain=33):
            code, rows = samples(reader)
        loop.stop()
    assert code == 1 and rows == []


@pytest.mark.parametrize("arguments, message", [
    (dict(namespace="lab"), 'namespace "lab" must start with /'),
    (dict(namespace="/lab/"), 'must not end with /'),
    (dict(domain=300), "domain must be at most 232"),
    (dict(frame_id=""), "frame_id must not be empty"),
])
def test_publisher_and_teleoperation_refuse_names_ros2_does_not_take(orvex, arguments, message):
    with pytest.raises(ValueError, match=message):
        OrvexHaptics.Teleoperation("leader", **arguments)
    loop = OrvexHaptics.ServoLoop(orvex.SerialStream("/dev/null"))
    with pytest.raises(ValueError, match=message):
        OrvexHaptics.Publisher(loop, **arguments)


@pytest.mark.parametrize("arguments, message", [
    (dict(role="both"), 'role must be "leader" or "follower"'),
    (dict(emulate_delay_s=-1), r"emulate_delay_s must be in \[0, 10\]"),
    (dict(loss=1.0), r"loss must be in \[0, 1\)"),
    (dict(lost_after_s=0), r"lost_after_s must be in \(0, 10\]"),
    (dict(stiffness=float("nan")), "stiffness must be finite"),
])
def test_teleoperation_refuses_settings_it_cannot_run(arguments, message):
    role = arguments.pop("role", "follower")
    with pytest.raises(ValueError, match=message):
        OrvexHaptics.Teleoperation(role, **arguments)


def positions(truth):
    return list(zip(truth["time"], truth["x"]))


def steady(operate, delay_s=0.0, **options):
    """A pair's run on lines that kept up (see run_pair_on_steady_lines); skipped, with the waits
    measured, where the machine is too loaded for any to."""
    from teleoperation_pair import LineStalled, run_pair_on_steady_lines
    try:
        return run_pair_on_steady_lines(operate, delay_s, **options)
    except LineStalled as stalled:
        pytest.skip(str(stalled))


def held_their_arms(figures, *roles):
    """Whether the sides' loops still drove their arms at the end: one that gave its arm up
    lets it coast, and what the test reads of it says nothing of the teleoperation."""
    return all(figures[role]["stop_reason"] is None for role in roles)


@pytest.mark.slow
def test_the_follower_tracks_the_leader_without_delay():
    def push_back_and_forth(emulator, _):
        hand = emulator.hands[0]
        time.sleep(0.3)
        for _ in range(4):
            hand.push((2, 0, 0))
            time.sleep(0.25)
            hand.push((-2, 0, 0))
            time.sleep(0.25)
        hand.release()
        time.sleep(0.3)
        # Then the sides are ended one after the other, and the one left loses its peer.
        return hand.truth().time

    figures = steady(push_back_and_forth, namespace=OWN + "/tracking", domain=35)
    assert held_their_arms(figures, "leader", "follower")
    leader, follower = figures["truth"]
    errors = sorted(abs(a - b) for t, a, b in zip(leader["time"], leader["x"], follower["x"])
                    if t <= figures["operated"])
    n = len(errors)
    travel = max(leader["x"]) - min(leader["x"])
    assert travel > 0.005  # the leader really moved
    # The bench holds the p99 to 1 mm; a loaded machine delays a cycle now and then.
    assert errors[int(0.99 * n)] < 0.004
    assert figures["channel_energy_j"] <= 1e-3


@pytest.mark.slow
@pytest.mark.parametrize("delay_s", [0.0, 0.2, 1.0])
def test_the_follower_rests_on_a_stiff_wall_under_delay_jitter_and_loss(delay_s):
    from teleoperation_pair import line_gaps, reach_into_wall

    # Contact settles over a few round trips once the follower arrives, half a round trip late.
    figures = steady(lambda emulator, _: reach_into_wall(emulator, hold_s=2.5 + 2 * delay_s),
                     delay_s, wall=WALL_X, namespace=OWN + "/wall", domain=36)
    assert held_their_arms(figures, "leader", "follower")
    follower = figures["truth"][1]
    held_until = figures["operated"]
    last_second = [x for t, x in positions(follower) if held_until - 0.5 < t <= held_until]
    assert figures["channel_energy_j"] <= 1e-3, line_gaps(figures)
    assert max(follower["x"]) < WALL_X + 0.005
    assert max(last_second) - min(last_second) < 0.001  # settled: no limit cycle
    # No buzz in the operator's hand while it holds the leader against the wall: a force cut and
    # restored cycle after cycle steps by newtons (the bench measures tenths over the whole run).
    leader = figures["truth"][0]
    held = [fx for t, fx in zip(leader["time"], leader["fx"]) if held_until - 0.5 < t <= held_until]
    steps = sorted(abs(b - a) for a, b in zip(held, held[1:]))
    assert steps[int(0.99 * len(steps))] < 1.0
    if delay_s:
        assert figures["follower"]["emulated_lost"] > 0


@pytest.mark.slow
def test_a_vanished_follower_leaves_the_leader_without_force_within_lost_after_s():
    def lose_the_follower(emulator, sides):
        hand = emulator.hands[0]
        time.sleep(0.3)
        hand.move_to((0.05, 0, 0), 0.5)  # against the wall at the follower: the leader is held
        time.sleep(1.0)
        before = hand.truth()
        sides["follower"].send_signal(signal.SIGKILL)
        sides["follower"].wait()
        time.sleep(1.0)
        return before.time, before.force

    figures = steady(lose_the_follower, wall=WALL_X, namespace=OWN + "/vanish", domain=37)
    assert held_their_arms(figures, "leader")
    killed_at, force_before = figures["operated"]
    assert abs(force_before[0]) > 0.5
    leader = figures["truth"][0]
    # lost_after_s (0.25 s) after the last sample, with room for the kill to land.
    after = [abs(fx) for t, fx in zip(leader["time"], leader["fx"]) if t > killed_at + 0.4]
    assert after and max(after) < 1e-6
    assert not figures["follower"]  # killed: no figures


@pytest.mark.slow
def test_a_second_leader_on_the_namespace_never_moves_the_follower():
    from OrvexHaptics.testing import start_emulator
    from teleoperation_pair import finish_side, start_side

    def intrude(emulator, _):
        # The pair's operator holds the leader at 10 mm; a second leader, started on the same
        # domain and namespace as if by mistake, is pushed with 3 N (followed, it would pull the
        # follower with newtons).
        emulator.hands[0].move_to((0.01, 0, 0), 0.3)
        time.sleep(0.8)
        with start_emulator(corvanes=1) as other:
            intruder = start_side("leader", other.corvanes[0], OWN + "/intruder", 38, 0.0, [])
            try:
                other.hands[0].push((3, 0, 0))
                time.sleep(1.5)
            finally:
                intruder_figures = finish_side(intruder)
        return emulator.hands[0].truth().time, intruder_figures

    figures = steady(intrude, namespace=OWN + "/intruder", domain=38)
    assert held_their_arms(figures, "leader", "follower")
    until, intruder = figures["operated"]
    follower = figures["truth"][1]
    # The pair's own coupling holds a few tenths of a newton; the intruder's would be newtons.
    assert max(abs(fx) for t, fx in zip(follower["time"], follower["fx"]) if t <= until) < 1.0
    assert figures["follower"]["ignored"] > 100  # the intruder's samples, each refused
    assert intruder and intruder["received"] > 0  # it was there, and heard the follower
