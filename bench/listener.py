"""The handle listener against today's way, a Python Handle subclass receiving on a Python thread:
a stand-in handle streams status messages as fast as a 115200-baud line carries them while the
main thread is busy computing; then the CPU an idle listener takes over a stretch of silence.

Received per second counts what reached the program while its main thread was busy; lost counts
what never reached it, after a short tail in which the main thread is idle."""

import math
import subprocess
import threading
import time
from pathlib import Path

DRAIN_EVERY_S = 0.05  # how often the busy main thread takes the listener's messages
TAIL_S = 0.3          # for the last messages on the line to arrive after the stand-in stops


class LineHandle:
    """The stand-in handle process; it streams only when asked."""

    def __init__(self, programs: Path):
        self._process = subprocess.Popen(
            [str(programs / "orvex_bench_line_handle")], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, text=True, bufsize=1)
        self.port = self._process.stdout.readline().split()[1]

    def stream(self, seconds):
        """Streams for that long; returns (sent, lost on the line)."""
        self._process.stdin.write(f"stream {seconds}\n")
        self._process.stdin.flush()
        words = self._process.stdout.readline().split()
        return int(words[1]), int(words[3])

    def close(self):
        self._process.stdin.close()
        self._process.wait(timeout=10)


def busy(seconds, every=None):
    """The main thread computing in Python, calling every() each DRAIN_EVERY_S if given."""
    now = time.perf_counter()
    end, next_call = now + seconds, now
    x = 0
    while now < end:
        for i in range(1000):
            x += i * i
        now = time.perf_counter()
        if every is not None and now >= next_call:
            every()
            next_call = now + DRAIN_EVERY_S
    return x


class Tally:
    """Sequence numbers seen, from the user data of each status message."""

    def __init__(self):
        self.received = 0
        self.received_while_busy = 0
        self.in_order = True
        self._last = -1

    def mark_busy_end(self):
        self.received_while_busy = self.received

    def see(self, user_data):
        sequence = int.from_bytes(bytes(user_data), "little")
        self.in_order &= sequence > self._last
        self._last = sequence
        self.received += 1


def listener_round(orvex, haptics, device, seconds):
    tally = Tally()
    with haptics.HandleListener(orvex.SerialStream(device.port)) as listener:
        def drain():
            for message in listener.messages():
                tally.see(message["user_data"])

        streaming = threading.Thread(target=lambda: results.update(line=device.stream(seconds)))
        results = {}
        streaming.start()
        busy(seconds, drain)
        drain()
        tally.mark_busy_end()
        streaming.join()
        time.sleep(TAIL_S)
        drain()
        dropped = listener.stats()["dropped"]
    return tally, results["line"], {"dropped_from_queue": dropped}


def python_thread_round(orvex, device, seconds):
    tally = Tally()
    done = threading.Event()

    class Counting(orvex.Handle):
        def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag,
                                         hall_effect_sensor_level, user_data_length, user_data):
            tally.see(user_data)

    handle = Counting(orvex.SerialStream(device.port))

    def receive():
        # A silent line ends a Receive after its one-second limit; by then done is set.
        while not done.is_set() and handle.Receive() >= 0:
            pass

    receiver = threading.Thread(target=receive)
    receiver.start()
    results = {}
    streaming = threading.Thread(target=lambda: results.update(line=device.stream(seconds)))
    streaming.start()
    busy(seconds)
    tally.mark_busy_end()
    streaming.join()
    time.sleep(TAIL_S)
    done.set()
    receiver.join()
    return tally, results["line"], {}


def figures_of(round_result, seconds):
    tally, (sent, lost_on_line), extra = round_result
    offered = sent + lost_on_line
    return {"offered": offered, "received": tally.received,
            "received_per_s": tally.received_while_busy / seconds,
            "offered_per_s": offered / seconds,
            "lost": offered - tally.received, "lost_on_line": lost_on_line,
            "in_order": tally.in_order, **extra}


def idle_cpu(orvex, haptics, device, seconds):
    """Process CPU time while a listener waits on a silent handle and the main thread sleeps."""
    with haptics.HandleListener(orvex.SerialStream(device.port)):
        time.sleep(0.1)
        cpu, wall = time.process_time(), time.perf_counter()
        time.sleep(seconds)
        cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    return {"wall_s": wall, "cpu_ms": cpu * 1e3, "cpu_percent_of_one_core": 100 * cpu / wall}


def measure(programs: Path, smoke: bool):
    import OrvexHardwareAPI as orvex
    import OrvexHaptics as haptics

    seconds, silence = (0.5, 1.0) if smoke else (5.0, 10.0)
    device = LineHandle(programs)
    try:
        listener = figures_of(listener_round(orvex, haptics, device, seconds), seconds)
        python_thread = figures_of(python_thread_round(orvex, device, seconds), seconds)
        idle = idle_cpu(orvex, haptics, device, silence)
    finally:
        device.close()
    return {"stream_seconds": seconds, "listener": listener,
            "python_handle_thread": python_thread, "idle_listener": idle}


def table(figures):
    rows = ["", f"{'handle, 115200-baud stream, busy main thread':<46}{'offered/s':>10}"
                f"{'received/s':>11}{'lost':>7}"]
    for key, label in (("listener", "HandleListener (native thread)"),
                       ("python_handle_thread", "Handle subclass on a Python thread")):
        f = figures[key]
        rows.append(f"{label:<46}{f['offered_per_s']:>10.0f}{f['received_per_s']:>11.0f}"
                    f"{f['lost']:>7}")
    idle = figures["idle_listener"]
    rows.append(f"idle listener: {idle['cpu_ms']:.1f} ms CPU in {idle['wall_s']:.1f} s = "
                f"{idle['cpu_percent_of_one_core']:.3f}% of one core (target < 1%)")
    return "\n".join(rows)


def problems(figures):
    """Missing or non-finite figures, and messages out of order; no timing thresholds."""
    found = []
    for key in ("listener", "python_handle_thread"):
        f = figures.get(key, {})
        for name in ("offered_per_s", "received_per_s", "lost"):
            if not isinstance(f.get(name), (int, float)) or not math.isfinite(f[name]):
                found.append(f"{key}: {name} missing")
        if not f.get("in_order", False):
            found.append(f"{key}: messages out of order")
    if not math.isfinite(figures.get("idle_listener", {}).get("cpu_percent_of_one_core", math.nan)):
        found.append("idle_listener: cpu_percent_of_one_core missing")
    return found
