"""The recorder's figures: a recording at 1 kHz while the main thread computes and, twice a
minute, holds the interpreter lock for two seconds in one call (rows written and lost, the writer
thread's CPU time, the file's size per minute, deadlines held); the cost of trace(since=...) for
1,000 new rows in a 3,600,000-row ring; and the loop over an emulated 115200-baud line and over
1 ms USB frames."""

import ctypes
import os
import subprocess
import tempfile
import time
from pathlib import Path

from processes import StandInDevices

RATE_HZ = 1000.0
HOLD_S = 2.0
HOLD_EVERY_S = 30.0
BIG_RING = 3_600_000
LINES = {"115200 baud": ["--baud", "115200"], "1 ms USB frames": ["--usb-frame-us", "1000"],
         "115200 baud + 1 ms USB frames": ["--baud", "115200", "--usb-frame-us", "1000"]}
LINE_RATES_HZ = (1000.0, 250.0)
DURATIONS_S = {  # long, full run, smoke
    "recording": (600.0, 60.0, 4.0),
    "trace_calls": (10, 5, 2),
    "line": (10.0, 5.0, 1.0),
}


def thread_cpu_s(name):
    """CPU time of this process's thread called `name`, in seconds; 0 when none is."""
    tick = os.sysconf("SC_CLK_TCK")
    for task in Path("/proc/self/task").iterdir():
        try:
            if (task / "comm").read_text().strip() == name:
                fields = (task / "stat").read_text().rsplit(")", 1)[1].split()
                return (int(fields[11]) + int(fields[12])) / tick
        except OSError:
            continue
    return 0.0


def held_percent(stats):
    return 100.0 * (1 - stats["missed"] / stats["cycles"]) if stats["cycles"] else 0.0


def recording_beside_busy_python(orvex, haptics, port, seconds):
    hold = ctypes.PyDLL(None).usleep  # a C call that keeps the interpreter lock
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "bench.npy"
        loop = haptics.ServoLoop(orvex.SerialStream(port), RATE_HZ, watchdog_s=0)
        loop.record(path)
        holds = 0
        with loop:
            started = time.monotonic()
            next_hold = started + min(HOLD_EVERY_S / 2, seconds / 4)
            while time.monotonic() - started < seconds:
                if time.monotonic() >= next_hold:
                    hold(int(HOLD_S * 1e6))
                    holds += 1
                    next_hold += HOLD_EVERY_S
                sum(i * i for i in range(10_000))  # the main thread's own work
            writer_cpu_s = thread_cpu_s("orvex-recorder")
        result = loop.stop_recording()
        stats = loop.stats()
        size = path.stat().st_size
    minutes = stats["cycles"] / RATE_HZ / 60
    return {"seconds": seconds, "holds": holds, "cycles": stats["cycles"], "rows": result["rows"],
            "lost": result["lost"], "held_percent": held_percent(stats),
            "writer_cpu_percent": 100.0 * writer_cpu_s / seconds,
            "mib_per_minute": size / 2**20 / minutes if minutes else 0.0}


def trace_since_cost(orvex, haptics, port, calls):
    loop = haptics.ServoLoop(orvex.SerialStream(port), RATE_HZ, watchdog_s=0,
                             trace_capacity=BIG_RING)
    costs, rows = [], []
    with loop:
        time.sleep(1.1)
        last = loop.trace(since=0)
        cycle = memoryview(last).tolist()[-1][14]
        for _ in range(calls):
            time.sleep(1.0)
            started = time.perf_counter()
            copy = loop.trace(since=cycle)
            costs.append(time.perf_counter() - started)
            rows.append(len(copy))
            cycle = memoryview(copy).tolist()[-1][14]
    return {"ring_rows": BIG_RING, "rows_per_call": sum(rows) / len(rows),
            "ms_per_call_max": 1e3 * max(costs), "ms_per_call_median": 1e3 * sorted(costs)[len(costs) // 2]}


def over_lines(orvex, haptics, emulator, seconds):
    figures = {}
    for label, arguments in LINES.items():
        for rate in LINE_RATES_HZ:
            process = subprocess.Popen([str(emulator), "--corvane", *arguments],
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            try:
                port = process.stdout.readline().split()[1]
                loop = haptics.ServoLoop(orvex.SerialStream(port), rate, watchdog_s=0)
                with loop:
                    time.sleep(seconds)
                stats = loop.stats()
            finally:
                process.stdin.close()
                process.wait(10)
            figures[f"{label} at {rate:g} Hz"] = {
                key: stats[key] for key in ("rate_hz", "exchange_p50_us", "exchange_p99_us",
                                            "exchange_budget_us", "cycles", "missed")}
            figures[f"{label} at {rate:g} Hz"]["held_percent"] = held_percent(stats)
    return figures


def measure(programs, smoke, long=False):
    import OrvexHardwareAPI as orvex
    import OrvexHaptics as haptics

    pick = 2 if smoke else 0 if long else 1
    seconds = {name: values[pick] for name, values in DURATIONS_S.items()}
    devices = StandInDevices(programs, realtime=True)
    try:
        recording = recording_beside_busy_python(orvex, haptics, devices.corvane_port,
                                                 seconds["recording"])
        trace = trace_since_cost(orvex, haptics, devices.corvane_port, seconds["trace_calls"])
    finally:
        devices.close()
    lines = over_lines(orvex, haptics, programs.parent / "tools" / "emulator" / "orvex-emulator",
                       seconds["line"])
    targets = {"none_lost": recording["lost"] == 0,
               "held_at_least_99_5_percent_while_recording": recording["held_percent"] >= 99.5,
               "trace_since_at_most_1_ms": trace["ms_per_call_max"] <= 1.0}
    return {"recording": recording, "trace_since": trace, "lines": lines, "targets": targets,
            "load_average_1min": os.getloadavg()[0]}


def table(figures):
    r, t = figures["recording"], figures["trace_since"]
    rows = [f"recording at {RATE_HZ:.0f} Hz for {r['seconds']:g} s beside busy Python, the lock held "
            f"{HOLD_S:g} s {r['holds']} times: {r['rows']} rows written, {r['lost']} lost, "
            f"{r['held_percent']:.2f}% deadlines held, writer {r['writer_cpu_percent']:.2f}% of a CPU, "
            f"{r['mib_per_minute']:.2f} MiB a minute (.npy)",
            f"trace(since=...) in a {t['ring_rows']}-row ring: {t['rows_per_call']:.0f} rows a call, "
            f"median {t['ms_per_call_median']:.3f} ms, max {t['ms_per_call_max']:.3f} ms",
            f"{'line':<44}{'rate Hz':>9}{'held %':>9}{'exch p50':>10}{'exch p99':>10}{'budget':>8}"]
    for label, f in figures["lines"].items():
        rows.append(f"{label:<44}{f['rate_hz']:>9.0f}{f['held_percent']:>9.2f}"
                    f"{f['exchange_p50_us']:>10.0f}{f['exchange_p99_us']:>10.0f}"
                    f"{f['exchange_budget_us']:>8.0f}")
    met = {True: "met", False: "MISSED"}
    rows.append(f"recording targets (load {figures['load_average_1min']:.2f}): " + ", ".join(
        f"{name} {met[ok]}" for name, ok in figures["targets"].items()))
    return "\n".join(rows)


def problems(figures):
    """What makes the recording figures unusable: no rows, or a loss (never allowed)."""
    found = []
    if figures["recording"]["rows"] == 0:
        found.append("recording: no rows written")
    if figures["recording"]["lost"] != 0:
        found.append(f"recording: {figures['recording']['lost']} rows lost")
    if figures["trace_since"]["rows_per_call"] == 0:
        found.append("recording: trace(since=...) returned no rows")
    return found
