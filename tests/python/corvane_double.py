"""A Corvane stand-in in a process of its own, for tests of native loops that run without the
interpreter lock: it answers the wake-up with model 4 and every force command with the state the
test chose, and remembers the forces it was sent.

It prints its pseudo-terminal's path, then takes commands on standard input, one per line:
  state X Y Z VX VY VZ   the position and velocity of the following replies
  last                   prints "FX FY FZ N": the last force received and how many so far
  sum                    prints "FX FY FZ N": the sum of the forces received and how many
  silent                 answers nothing from now on
  zero_after T           prints when (time.monotonic()) the first zero force came at or after
                         T, and the force received last; "none" when no zero came since T
Standard input closing ends it.
"""

import collections
import os
import select
import struct
import sys
import time
import tty

DEVICE_INFO = bytes([11, 0x2C, 0x01, 0x04, 0x02, 0x07]) + bytes(range(16))
FORCE, FORCE_BODY, STATE = 42, 12, 43


def main():
    master, slave = os.openpty()
    tty.setraw(slave)
    print(os.ttyname(slave), flush=True)
    state = (0.0,) * 6
    last, count, silent = (0.0, 0.0, 0.0), 0, False
    total = [0.0, 0.0, 0.0]
    pending = b""
    # When each of the latest forces came: a few seconds at 1 kHz.
    arrivals = collections.deque(maxlen=8192)
    while True:
        readable, _, _ = select.select([master, sys.stdin], [], [])
        if sys.stdin in readable:
            words = sys.stdin.readline().split()
            if not words:
                return
            if words[0] == "state":
                state = tuple(float(w) for w in words[1:7])
            elif words[0] == "last":
                print(" ".join(repr(f) for f in last), count, flush=True)
            elif words[0] == "sum":
                print(" ".join(repr(f) for f in total), count, flush=True)
            elif words[0] == "silent":
                silent = True
            elif words[0] == "zero_after":
                since = float(words[1])
                zero = next((t for t, f in arrivals if t >= since and f == (0.0, 0.0, 0.0)), None)
                print("none" if zero is None else "%r %s" % (zero, " ".join(map(repr, last))),
                      flush=True)
        if master in readable:
            pending += os.read(master, 4096)
            while pending:
                if pending[0] == 10:
                    pending = pending[1:]
                    if not silent:
                        os.write(master, DEVICE_INFO)
                elif pending[0] == FORCE and len(pending) >= 1 + FORCE_BODY:
                    last = struct.unpack("<3f", pending[1 : 1 + FORCE_BODY])
                    arrivals.append((time.monotonic(), last))
                    count += 1
                    total = [t + f for t, f in zip(total, last)]
                    pending = pending[1 + FORCE_BODY :]
                    if not silent:
                        os.write(master, bytes([STATE]) + struct.pack("<6f", *state))
                elif pending[0] == FORCE:
                    break
                else:
                    pending = pending[1:]


if __name__ == "__main__":
    main()
