"""Records every cycle of the haptic wall for a minute while the main thread is busy, then checks
the file for gaps by cycle number.

    python3 record_wall.py PORT [SECONDS] [FILE]

Push the arm against the wall along x: you feel it stop you, firm and still. Without an arm, the
emulator's hand pushes: start `orvex-emulator --corvane --hand examples/hands/record_wall.csv`.

FILE (default wall.npy) ends in .npy or .csv. The loop renders the wall of haptic_wall.py; a
recorder thread of its own writes each cycle to FILE, so the main thread can search for primes
and, now and then, hold the interpreter lock for a whole second in one call without costing a
row. At the end the rows are read back and their cycle numbers checked for gaps.
"""

import ctypes
import sys
import time
from typing import List

import OrvexHardwareAPI as orvex
import OrvexHaptics as haptics
from haptic_wall import DAMPING, RATE_HZ, WALL_STIFFNESS, WALL_X, PrimeSearch

HOLD_EVERY_S = 10.0  # how often the main thread holds the lock for a second


def cycle_numbers(path: str) -> List[float]:
    """The cycle column of a recording, without numpy: .npy through its header, .csv as text."""
    if path.endswith(".csv"):
        with open(path) as file:
            header = file.readline().strip().split(",")
            column = header.index("cycle")
            return [float(line.split(",")[column]) for line in file]
    import ast
    import struct

    with open(path, "rb") as file:
        data = file.read()
    length = struct.unpack("<H", data[8:10])[0]
    rows, columns = ast.literal_eval(data[10:10 + length].decode())["shape"]
    values = struct.unpack("<%dd" % (rows * columns), data[10 + length:10 + length + 8 * rows * columns])
    return list(values[columns - 1::columns])  # the cycle is the last column


def main(port: str, seconds: float, path: str) -> None:
    loop = haptics.ServoLoop(orvex.SerialStream(port), RATE_HZ)
    loop.add(haptics.Wall(point=[WALL_X, 0.0, 0.0], normal=[-1.0, 0.0, 0.0],
                          stiffness=WALL_STIFFNESS))
    loop.add(haptics.Damper(coefficient=DAMPING))
    primes = PrimeSearch()
    hold_lock = ctypes.PyDLL(None).usleep  # a C call that does not let go of the lock
    loop.record(path)
    with loop:
        end = time.monotonic() + seconds
        next_hold = time.monotonic() + min(HOLD_EVERY_S, seconds / 2)
        while time.monotonic() < end and loop.running:
            loop.feed()
            primes.work_for(0.05)
            if time.monotonic() >= next_hold:
                # Meanwhile nobody feeds the watchdog, so the loop commands zero force: safe, and
                # recorded like every other cycle.
                hold_lock(1_000_000)
                next_hold += HOLD_EVERY_S
            stats = loop.stats()
            print("\r%6d cycles, %6d recorded, %d lost" % (stats["cycles"], stats["recorded"],
                                                            stats["record_lost"]), end="", flush=True)
    result = loop.stop_recording()
    assert result is not None  # it was recording
    cycles = cycle_numbers(path)
    gaps = sum(1 for a, b in zip(cycles, cycles[1:]) if b != a + 1)
    print("\n%s: %d rows, %d lost, %d gaps in the cycle numbers; main thread found %d primes"
          % (path, result["rows"], result["lost"], gaps, primes.found))


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 60.0,
         sys.argv[3] if len(sys.argv) > 3 else "wall.npy")
