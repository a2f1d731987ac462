"""The arm when the program that drives it dies: every way of ending with 6 N on is followed on
the wire by a zero command from the guardian; interpreter exit racing starts from daemon threads;
one driver per device, across streams and processes."""

import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from test_servo_loop import CorvaneDouble

DYING = Path(__file__).resolve().parent / "dying_program.py"
# The guardian writes within milliseconds (script/bench measures it); the margin is for a
# loaded machine, where a test must not fail by chance.
WIDE_MARGIN_S = 0.5


@pytest.fixture
def double():
    stand_in = CorvaneDouble()
    yield stand_in
    stand_in.close()


def zero_after(double, since, timeout=5.0):
    """When the first zero force at or after `since` came, and the force sent last."""
    deadline = time.monotonic() + timeout
    while True:
        double._send("zero_after %r" % since)
        words = double.process.stdout.readline().split()
        if words != ["none"] or time.monotonic() > deadline:
            break
        time.sleep(0.01)
    assert words != ["none"], "no zero force came after the program ended"
    return float(words[0]), tuple(float(w) for w in words[1:])


def start_dying(orvex, double, way):
    program = subprocess.Popen(
        [sys.executable, str(DYING), os.path.dirname(orvex.__file__), double.path, way],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert program.stdout.readline().strip() == "ready", program.communicate(timeout=30)
    assert double.wait_for((6.0, 0.0, 0.0)) == (6.0, 0.0, 0.0)
    return program


@pytest.mark.parametrize("way", ["SIGTERM", "SIGHUP", "SIGKILL", "os_exit", "abort", "segfault",
                                 "exec"])
def test_every_way_of_dying_with_force_on_ends_in_zero_on_the_wire(orvex, double, way):
    program = start_dying(orvex, double, "wait" if way.startswith("SIG") else way)
    if way.startswith("SIG"):
        died = time.monotonic()
        os.kill(program.pid, getattr(signal, way))
    else:
        program.stdin.write("go\n")
        program.stdin.flush()
        died = float(program.stdout.readline().split()[1])
    zero_at, last = zero_after(double, died)
    _, errors = program.communicate(timeout=30)
    assert 0 <= zero_at - died < WIDE_MARGIN_S
    assert last == (0.0, 0.0, 0.0)  # and nothing after it
    assert "zero force commanded on " + double.path in errors
    if way != "exec":
        assert program.returncode != 0


def test_a_stopped_loop_leaves_the_port_to_the_next_program(orvex, haptics, double):
    program = subprocess.run(
        [sys.executable, "-c", textwrap.dedent("""
            import sys
            sys.path.insert(0, sys.argv[1])
            import OrvexHardwareAPI, OrvexHaptics
            loop = OrvexHaptics.ServoLoop(OrvexHardwareAPI.SerialStream(sys.argv[2]))
            loop.force = [6.0, 0.0, 0.0]
            loop.start()
            loop.stop()
            """), os.path.dirname(orvex.__file__), double.path],
        capture_output=True, text=True, timeout=30)
    assert program.returncode == 0 and program.stderr == ""  # the guardian stood down silently
    loop = haptics.ServoLoop(orvex.SerialStream(double.path))
    loop.start()
    loop.stop()


def test_without_a_guardian_program_start_says_so_unless_opted_out(orvex, double):
    program = textwrap.dedent("""
        import sys
        sys.path.insert(0, sys.argv[1])
        import OrvexHardwareAPI, OrvexHaptics
        stream = OrvexHardwareAPI.SerialStream(sys.argv[2])
        try:
            OrvexHaptics.ServoLoop(stream).start()
        except RuntimeError as error:
            print(error)
        loop = OrvexHaptics.ServoLoop(stream, guardian=False)
        loop.start()
        print("running", loop.running)
        loop.stop()
        """)
    env = dict(os.environ, ORVEX_GUARDIAN="/nonexistent/orvex-guardian")
    done = subprocess.run([sys.executable, "-c", program, os.path.dirname(orvex.__file__),
                           double.path], capture_output=True, text=True, timeout=30, env=env)
    assert done.stdout.splitlines() == [
        "the guardian could not be started: /nonexistent/orvex-guardian could not be started: "
        "No such file or directory (guardian=False runs the loop without one)", "running True"]


# --- one driver per device ---------------------------------------------------------------------

def test_a_second_driver_from_another_process_is_refused_naming_the_port_and_holder(
        orvex, haptics, double, emulator):
    program = start_dying(orvex, double, "wait")
    try:
        for make in (lambda stream: haptics.ServoLoop(stream),
                     lambda stream: haptics.HandleListener(stream)):
            with pytest.raises(RuntimeError) as refused:
                make(orvex.SerialStream(double.path)).start()
            assert str(refused.value) == ("another servo loop or handle listener drives %s "
                                          "(process %d)" % (double.path, program.pid))
    finally:
        program.kill()
        program.communicate(timeout=30)
    # A plain stream keeps its behaviour: it opens and exchanges whatever drives the port.
    assert orvex.Corvane(orvex.SerialStream(double.path)).device_wakeup() is not None


def test_a_listener_holds_its_port_against_a_loop_on_another_stream(orvex, haptics, emulator):
    device = emulator("--handle")
    listener = haptics.HandleListener(orvex.SerialStream(device.path(0)))
    listener.start()
    try:
        with pytest.raises(RuntimeError, match="drives %s \\(process %d\\)" % (device.path(0),
                                                                            os.getpid())):
            haptics.ServoLoop(orvex.SerialStream(device.path(0))).start()
    finally:
        listener.stop()
    with pytest.raises(RuntimeError, match="model 4"):  # the port is free: the loop got to ask
        haptics.ServoLoop(orvex.SerialStream(device.path(0)), guardian=False).start()


# --- no loop after exit ------------------------------------------------------------------------

EXIT_RACE = textwrap.dedent("""
    import atexit, sys, threading, time

    def start_after_exit_hook():
        try:
            OrvexHaptics.ServoLoop(OrvexHardwareAPI.SerialStream(port), guardian=False).start()
        except RuntimeError as error:
            print(error, flush=True)

    # Registered before the module is imported, so it runs after the module's exit hook.
    atexit.register(start_after_exit_hook)
    sys.path.insert(0, sys.argv[1])
    import OrvexHardwareAPI, OrvexHaptics
    port = sys.argv[2]
    stream = OrvexHardwareAPI.SerialStream(port)

    # Without a guardian: a loop left running when the process ends would leave 8 N standing.
    def keep_starting():
        while True:
            loop = OrvexHaptics.ServoLoop(stream, watchdog_s=0, ramp_s=0, guardian=False)
            loop.force = [8.0, 0.0, 0.0]
            try:
                loop.start()
            except RuntimeError:
                continue  # another thread's loop runs on the stream
            time.sleep(0.002)
            loop.stop()

    for _ in range(3):
        threading.Thread(target=keep_starting, daemon=True).start()
    time.sleep(float(sys.argv[3]))
    """)


# Daemon threads in every kind of call that lets the interpreter lock go, over and over, while
# the interpreter exits: each is ended by Python as it takes the lock back.
EXIT_IN_DEVICE_CALLS = textwrap.dedent("""
    import os, sys, threading, time
    sys.path.insert(0, sys.argv[1])
    import OrvexHardwareAPI, OrvexHaptics
    master, slave = os.openpty()
    port = os.ttyname(slave)

    def forever(call):
        def run():
            while True:
                call()
        threading.Thread(target=run, daemon=True).start()

    def drain():  # what the calls write, so that the line never fills
        os.read(master, 4096)

    def listen():
        try:
            with OrvexHaptics.HandleListener(OrvexHardwareAPI.SerialStream(port)) as listener:
                listener.messages(timeout=0.005)
        except RuntimeError:
            pass  # refused once the exit hook ran, as it should be

    def shapes():
        scene.remove(scene.add(OrvexHaptics.Sphere(0.01)))
        scene.clear()

    scene = OrvexHaptics.Scene()
    handle = OrvexHardwareAPI.Handle(OrvexHardwareAPI.SerialStream(port))
    corvane = OrvexHardwareAPI.Corvane(OrvexHardwareAPI.SerialStream(port))
    square = [[0, 0, 0], [0.01, 0, 0], [0.01, 0.01, 0], [0, 0.01, 0]]
    for call in (drain, handle.Receive, handle.RequestStatus, corvane.RequestCurrent,
                 lambda: corvane.ReceiveCurrent([0.0, 0.0, 0.0]), listen, shapes,
                 lambda: OrvexHardwareAPI.SerialStream(port),
                 lambda: OrvexHaptics.Mesh(square, [[0, 1, 2], [0, 2, 3]])):
        forever(call)
    time.sleep(float(sys.argv[2]))
    """)


@pytest.mark.parametrize("delay", [0.05, 0.3])
def test_daemon_threads_in_device_calls_at_exit_end_with_the_process(orvex, delay):
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", EXIT_IN_DEVICE_CALLS,
                               os.path.dirname(orvex.__file__), str(delay)],
                              capture_output=True, text=True, timeout=60)
        # The library's own lines say what the lines it wrote to were left with; nothing else.
        others = [line for line in done.stderr.splitlines() if not line.startswith("[err] ")]
        assert (done.returncode, others) == (0, [])


@pytest.mark.parametrize("delay", [0.05, 0.3])
def test_daemon_threads_starting_loops_at_exit_leave_no_loop_running(orvex, double, delay):
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", EXIT_RACE, os.path.dirname(orvex.__file__),
                               double.path, str(delay)],
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert done.stdout == ("the interpreter is exiting: no servo loop or handle listener "
                               "starts after its exit hook\n")
        force, count = double.last()
        assert force == (0.0, 0.0, 0.0)
    # A loaded machine may not wake the arm within the shorter delay; the longer one does.
    assert count > 0 or delay < 0.3
