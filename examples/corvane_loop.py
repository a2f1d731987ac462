"""Wakes the Corvane on a port and holds its end-effector with a spring towards the origin.

    python corvane_loop.py [PORT]

Without a port, the first Corvane that discovery finds is used.
"""

import sys
import time
from typing import List

import OrvexHardwareAPI as orvex

STIFFNESS = 50.0  # force per unit of displacement
SECONDS = 5.0


def spring_force(position: List[float]) -> List[float]:
    return [-STIFFNESS * x for x in position]


def main() -> int:
    ports = sys.argv[1:] or orvex.detect_corvanes()
    if not ports:
        print("no Corvane found", file=sys.stderr)
        return 1
    stream = orvex.SerialStream(ports[0])
    corvane = orvex.Corvane(stream)

    info = corvane.device_wakeup_dict()
    if info["device_model_number"] != 4:
        print("no Corvane answers on", ports[0], file=sys.stderr)
        return 1
    print("Corvane", info["device_id"], "firmware", info["firmware_version"], info["device_id_ext"])

    position, velocity = corvane.end_effector_force()  # no force yet, just the state
    exchanges = 0
    end = time.monotonic() + SECONDS
    while time.monotonic() < end:
        position, velocity = corvane.end_effector_force(spring_force(position))
        exchanges += 1
    print("%d exchanges, %.0f per second; last position %s" % (exchanges, exchanges / SECONDS, position))
    return 0


if __name__ == "__main__":
    sys.exit(main())
