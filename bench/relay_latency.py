"""What a socat relay over TCP on the loopback address adds to an exchange: end_effector_force
rounds on the bench's instantly answering Corvane, straight on its port and through the relay,
interleaved so that drift hits both alike. Prints the figures; sets no thresholds.

    relay_latency.py --build DIR [--rounds N] [--exchanges N]

DIR holds the built module and the bench programs (script/bench's folder, or the test build)."""

import argparse
import sys
import tempfile
from pathlib import Path

import figures
from processes import StandInDevices
from python_contenders import LibraryCorvane, timed_round

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
from relay import SOCAT, Relay  # noqa: E402  (beside the tests that use it)


def options():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=Path, required=True)
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--exchanges", type=int, default=1000, help="per path and round")
    return parser.parse_args()


def main():
    chosen = options()
    if SOCAT is None:
        sys.exit("relay_latency.py: socat is not installed")
    sys.path.insert(0, str(chosen.build))
    import OrvexHardwareAPI as orvex

    devices = StandInDevices(chosen.build / "bench")
    # The stand-in's port takes one opener at a time: the direct stream uses its own pty, and
    # the relay gets the other stand-in, a copy of the first.
    relayed_devices = StandInDevices(chosen.build / "bench")
    relay = Relay(relayed_devices.corvane_port, Path(tempfile.mkdtemp()) / "remote-corvane")
    try:
        paths = {"direct": LibraryCorvane(orvex, devices.corvane_port),
                 "relayed": LibraryCorvane(orvex, relay.path)}
        rounds = {name: [] for name in paths}
        for r in range(chosen.rounds + 1):  # the first round warms up and is left out
            for name in (list(paths) if r % 2 else list(reversed(list(paths)))):
                result = timed_round(name, chosen.exchanges, paths[name].exchange)
                if r:
                    rounds[name].append(result)
    finally:
        relay.close()
        relayed_devices.close()
        devices.close()

    summary = {name: figures.contender_figures(results) for name, results in rounds.items()}
    print("%-8s %10s %10s %10s %12s" % ("path", "exchanges", "p50 us", "p99 us", "mismatched"))
    for name, figure in summary.items():
        print("%-8s %10d %10.1f %10.1f %12d" % (name, figure["exchanges"], figure["latency_p50_us"],
                                                figure["latency_p99_us"],
                                                figure["mismatched_replies"]))
    print("added by the relay: p50 %+.1f us, p99 %+.1f us" % tuple(
        summary["relayed"][key] - summary["direct"][key]
        for key in ("latency_p50_us", "latency_p99_us")))


if __name__ == "__main__":
    main()
