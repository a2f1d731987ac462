"""From the rounds to the figures: per contender, the ratios, the targets; the table and the
check that the figures are complete."""

import math
import os
import platform

# How each contender is shown, in the table's order.
LABELS = {
    "floor_cpp": "floor: plain C++ loop",
    "library_cpp": "library end_effector_force, C++",
    "library_python": "library end_effector_force, Python",
    "peer_pyserial": "peer: pyserial + struct, Python",
    "handle_receive_cpp": "library Handle::Receive, C++",
    "handle_receive_python": "library Handle.Receive, Python subclass",
}
CONTENDER_FIGURES = ("exchanges", "exchanges_per_s", "latency_p50_us", "latency_p99_us",
                     "cpu_us_per_exchange", "share_without_pause", "mismatched_replies")
ALLOCATION_FIGURE = "allocations_per_exchange"
LIBRARY_IN_CPP = ("library_cpp", "handle_receive_cpp")
RATE_TARGET = 0.9  # Python end_effector_force within 10% of the floor's rate
# A pause between read attempts lasts at least this long, so a quicker exchange needed none: its
# reply was complete at the first read.
PAUSE_NS = 100_000


def percentile(sorted_values, fraction):
    """Nearest-rank percentile of an ascending list."""
    rank = max(1, math.ceil(fraction * len(sorted_values)))
    return sorted_values[rank - 1]


def contender_figures(rounds):
    exchanges = sum(r["exchanges"] for r in rounds)
    latencies = sorted(latency for r in rounds for latency in r["latencies_ns"])
    figures = {
        "exchanges": exchanges,
        "exchanges_per_s": exchanges / (sum(r["wall_ns"] for r in rounds) / 1e9),
        "latency_p50_us": percentile(latencies, 0.50) / 1e3,
        "latency_p99_us": percentile(latencies, 0.99) / 1e3,
        "cpu_us_per_exchange": sum(r["cpu_ns"] for r in rounds) / exchanges / 1e3,
        "share_without_pause": sum(latency < PAUSE_NS for latency in latencies) / exchanges,
        "mismatched_replies": sum(r["mismatches"] for r in rounds),
    }
    if rounds[0]["allocations"] is not None:
        figures[ALLOCATION_FIGURE] = sum(r["allocations"] for r in rounds) / exchanges
    return figures


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                key, _, value = line.partition(":")
                if key.strip() in ("model name", "Hardware", "Model"):
                    model = value.strip()
                    break
    except OSError:
        pass
    return {"cores": os.cpu_count(), "cpu_model": model, "system": platform.platform(),
            "python": platform.python_version(), "load_average_1min": os.getloadavg()[0]}


def summarise(rounds_by_contender, silent_wait, settings):
    contenders = {name: contender_figures(rounds) for name, rounds in rounds_by_contender.items()}

    def rate(name):
        return contenders[name]["exchanges_per_s"]

    ratios = {
        "library_cpp_to_floor": rate("library_cpp") / rate("floor_cpp"),
        "library_python_to_peer": rate("library_python") / rate("peer_pyserial"),
        "library_python_to_floor": rate("library_python") / rate("floor_cpp"),
    }
    waiting = {
        "wall_ms": silent_wait["wall_ns"] / 1e6,
        "cpu_ms": silent_wait["cpu_ns"] / 1e6,
        "cpu_percent_of_one_core": 100.0 * silent_wait["cpu_ns"] / silent_wait["wall_ns"],
    }
    targets = {
        "python_rate_within_10_percent_of_floor": ratios["library_python_to_floor"] >= RATE_TARGET,
        "zero_allocations_per_exchange":
            all(contenders[name][ALLOCATION_FIGURE] == 0 for name in LIBRARY_IN_CPP),
    }
    return {"machine": machine(), "settings": settings, "contenders": contenders,
            "ratios": ratios, "silent_port_wait": waiting, "targets": targets}


def table(figures):
    rows = [f"{'contender':<42}{'exch/s':>9}{'p50 us':>9}{'p99 us':>9}{'cpu us/x':>10}"
            f"{'allocs/x':>10}{'no pause':>10}{'bad':>5}"]
    for name, label in LABELS.items():
        f = figures["contenders"][name]
        allocations = f.get(ALLOCATION_FIGURE)
        shown = "-" if allocations is None else f"{allocations:g}"
        rows.append(f"{label:<42}{f['exchanges_per_s']:>9.0f}{f['latency_p50_us']:>9.1f}"
                    f"{f['latency_p99_us']:>9.1f}{f['cpu_us_per_exchange']:>10.2f}{shown:>10}"
                    f"{f['share_without_pause']:>10.0%}{f['mismatched_replies']:>5}")
    ratios, waiting, targets = figures["ratios"], figures["silent_port_wait"], figures["targets"]
    met = {True: "met", False: "MISSED"}
    m = figures["machine"]
    rows += [
        "",
        f"library/floor rate, C++:        {ratios['library_cpp_to_floor']:.3f}",
        f"library/peer rate, Python:      {ratios['library_python_to_peer']:.3f}",
        f"library Python/floor rate:      {ratios['library_python_to_floor']:.3f}"
        f"  (target >= {RATE_TARGET}: {met[targets['python_rate_within_10_percent_of_floor']]})",
        f"allocations per exchange:       target 0: "
        f"{met[targets['zero_allocations_per_exchange']]}",
        f"one read waiting out its limit: {waiting['cpu_ms']:.1f} ms CPU in "
        f"{waiting['wall_ms']:.0f} ms = {waiting['cpu_percent_of_one_core']:.2f}% of one core",
        f"machine: {m['cores']} cores, {m['cpu_model']}, Python {m['python']}, "
        f"load {m['load_average_1min']:.2f}",
    ]
    return "\n".join(rows)


def problems(figures, counter_check):
    """What makes the figures unusable: a missing or non-finite figure, a mismatched reply, an
    allocation in the library, or an allocation counter that does not count."""
    found = []
    for name in LABELS:
        f = figures["contenders"].get(name)
        if f is None:
            found.append(f"no figures for {name}")
            continue
        wanted = CONTENDER_FIGURES + ((ALLOCATION_FIGURE,) if name.endswith("_cpp") else ())
        for key in wanted:
            value = f.get(key)
            if not isinstance(value, (int, float)) or not math.isfinite(value):
                found.append(f"{name}: {key} missing")
        if f.get("mismatched_replies"):
            found.append(f"{name}: {f['mismatched_replies']} replies were not the expected ones")
    for section in ("ratios", "silent_port_wait"):
        found += [f"{section}: {key} missing" for key, value in figures[section].items()
                  if not math.isfinite(value)]
    if not figures["targets"]["zero_allocations_per_exchange"]:
        found.append("the library allocated during exchanges")
    for counted in ("counted", "counted_off_main_thread"):
        if counter_check[counted] != counter_check["made"]:
            found.append(f"the allocation counter ({counted}) saw {counter_check[counted]} of "
                         f"{counter_check['made']} allocations")
    return found
