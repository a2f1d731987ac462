#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz harnesses: whole, cut-off and unexpected messages of both
devices, under a few line shapes. Usage: make_seeds.py FOLDER (gets corvane/ and handle/)."""

import struct
import sys
from pathlib import Path

# Line shapes (the first byte of every input): whole reads ending in silence, one byte per read,
# eight bytes per read with empty reads between them ending in a failing read().
SHAPES = (0x07, 0x00, 0x1B)


def floats(*values):
    return struct.pack("<%df" % len(values), *values)


DEVICE_INFO = bytes([11, 0x2C, 0x01, 0x04, 0x02, 0x07]) + bytes(range(16))
END_EFFECTOR_STATE = bytes([43]) + floats(0.1, 1.0, 2.0, -1.0, float("inf"), float("nan"))
JOINT_STATE = bytes([27]) + floats(1.5, -2.5, 3.0, 0.0, -0.0, 1e-40)
CURRENT = bytes([171]) + floats(0.25, 0.5, 0.75)

# Operations of the Corvane harness, in its order, with the reply each one expects.
CORVANE_REPLIES = [DEVICE_INFO, END_EFFECTOR_STATE, END_EFFECTOR_STATE, JOINT_STATE, JOINT_STATE,
                   DEVICE_INFO, END_EFFECTOR_STATE, JOINT_STATE, CURRENT]

HANDLE_INFO = bytes([208, 0x05, 0x2C, 0x01, 0x02, 0x03, 0x04])
HANDLE_ERROR = bytes([223, 0x2C, 0x01, 0x07])


def status(user_data=b""):
    return (bytes([218]) + struct.pack("<HBB", 300, 1, 200) + floats(1.0, 0.0, 0.0, 0.0)
            + bytes([len(user_data)]) + user_data)


def corvane_seeds():
    for operation, reply in enumerate(CORVANE_REPLIES):
        for shape in SHAPES:
            head = bytes([shape, operation])
            yield head + reply * 3
            yield head + reply[:-3]
            yield head + bytes([99]) + reply[1:] + reply


def handle_seeds():
    messages = [HANDLE_INFO, HANDLE_ERROR, status(), status(b"\x09\x08\x07"), status(bytes(range(255)))]
    for shape in SHAPES:
        yield bytes([shape]) + b"".join(messages)
        yield bytes([shape]) + bytes([11, 12]) + HANDLE_ERROR + status(b"abc")[:-2]
        for message in messages:
            yield bytes([shape]) + message[:len(message) // 2]


def main(folder):
    for harness, seeds in (("corvane", corvane_seeds()), ("handle", handle_seeds())):
        target = Path(folder) / harness
        target.mkdir(parents=True, exist_ok=True)
        for number, seed in enumerate(seeds):
            (target / ("seed-%03d" % number)).write_bytes(seed)


if __name__ == "__main__":
    main(sys.argv[1])
