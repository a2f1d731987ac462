"""Measures the library's exchanges against their floor and their peer, in one run, with the
contenders' rounds interleaved (the order rotates every round) so that drift hits them all alike;
then the servo loop (servo.py), what a user's own law costs (laws.py), the couplings on the
emulator (coupling.py), teleoperation over DDS (teleoperation_over_dds.py), the recorder and line timing (recording.py), the scene (scene.py) and
the guardian's latency from a killed program to zero force (guardian.py).

    run.py --build DIR [--json PATH] [--rounds N] [--exchanges N] [--smoke] [--long]

DIR holds the built module and the bench programs. Prints a table and writes the figures as JSON
(by default DIR/bench.json). --smoke makes a few hundred exchanges and fails when a figure is
missing, a reply was wrong or the library allocated, and runs the servo loop for a few seconds;
it sets no timing thresholds. --long records for ten minutes instead of one."""

import argparse
import json
import os
import sys
from pathlib import Path

import coupling
import figures
import guardian
import laws
import listener
import recording
import scene
import servo
import teleoperation_over_dds
from processes import CppContenders, StandInDevices
from python_contenders import LibraryCorvane, LibraryHandle, PeerPyserial, timed_round

WARM_UP_EXCHANGES = 200


def options():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=Path, required=True)
    parser.add_argument("--json", type=Path)
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--exchanges", type=int, default=2000, help="per contender and round")
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--long", action="store_true",
                        help="record for ten minutes instead of one")
    chosen = parser.parse_args()
    if chosen.smoke:
        chosen.rounds, chosen.exchanges = 2, 100
    chosen.json = chosen.json or chosen.build / "bench.json"
    return chosen


def contender_rounds(cpp, python_contenders):
    """For each contender, a function that runs one round of n exchanges."""
    runs = {name: (lambda n, name=name: cpp.round(name, n)) for name in cpp.names}
    for contender in python_contenders:
        runs[contender.name] = (
            lambda n, c=contender: timed_round(c.name, n, c.exchange))
    return runs


def interleaved(runs, rounds, exchanges):
    names = list(figures.LABELS)
    for name in names:
        runs[name](WARM_UP_EXCHANGES)
    results = {name: [] for name in names}
    for r in range(rounds):
        shift = r % len(names)
        for name in names[shift:] + names[:shift]:
            results[name].append(runs[name](exchanges))
    return results


def main():
    chosen = options()
    sys.path.insert(0, str(chosen.build))
    # The bench programs' loops are not beside the guardian, as the modules are.
    os.environ.setdefault("ORVEX_GUARDIAN", str(chosen.build / "orvex-guardian"))
    import OrvexHardwareAPI as orvex
    import serial

    devices = StandInDevices(chosen.build / "bench")
    cpp = CppContenders(chosen.build / "bench", devices)
    try:
        python_contenders = [LibraryCorvane(orvex, devices.corvane_port),
                             PeerPyserial(serial, devices.corvane_port),
                             LibraryHandle(orvex, devices.handle_port)]
        results = interleaved(contender_rounds(cpp, python_contenders), chosen.rounds,
                              chosen.exchanges)
        silent_wait = cpp.silent_wait()
        counter_check = cpp.counter_check()
    finally:
        cpp.close()
        devices.close()

    settings = {"rounds": chosen.rounds, "exchanges_per_round": chosen.exchanges,
                "warm_up_exchanges": WARM_UP_EXCHANGES}
    summary = figures.summarise(results, silent_wait, settings)
    summary["allocation_counter_check"] = counter_check
    summary["handle_listener"] = listener.measure(chosen.build / "bench", chosen.smoke)
    print(figures.table(summary))
    print(listener.table(summary["handle_listener"]))
    summary["servo"] = servo.measure(chosen.build / "bench", chosen.smoke)
    print(servo.table(summary["servo"]))
    summary["laws"] = laws.measure(chosen.build / "bench", chosen.smoke)
    print(laws.table(summary["laws"]))
    summary["coupling"] = coupling.measure(chosen.build, chosen.smoke)
    print(coupling.table(summary["coupling"]))
    summary["recording"] = recording.measure(chosen.build / "bench", chosen.smoke, chosen.long)
    print(recording.table(summary["recording"]))
    summary["scene"] = scene.measure(chosen.build / "bench", chosen.smoke)
    print(scene.table(summary["scene"]))
    summary["guardian"] = guardian.measure(chosen.build, chosen.smoke)
    print(guardian.table(summary["guardian"]))
    summary["teleoperation"] = teleoperation_over_dds.measure(chosen.build, chosen.smoke)
    print(teleoperation_over_dds.table(summary["teleoperation"]))
    chosen.json.parent.mkdir(parents=True, exist_ok=True)
    chosen.json.write_text(json.dumps(summary, indent=2) + "\n")
    print(f"figures written to {chosen.json}")

    if chosen.smoke:
        found = (figures.problems(summary, counter_check)
                 + listener.problems(summary["handle_listener"]) + servo.problems(summary["servo"])
                 + laws.problems(summary["laws"]) + coupling.problems(summary["coupling"])
                 + recording.problems(summary["recording"])
                 + scene.problems(summary["scene"]) + guardian.problems(summary["guardian"])
                 + teleoperation_over_dds.problems(summary["teleoperation"]))
        for problem in found:
            print("bench smoke:", problem, file=sys.stderr)
        return 1 if found else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
