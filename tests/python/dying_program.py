"""A program that holds 6 N on a Corvane, then ends the way it is told: the guardian's tests and
its bench kill it or let it end itself, and look at what reaches the arm afterwards.

    dying_program.py MODULE_DIR PORT WAY

It prints "ready" once its loop runs with 6 N. WAY is one of
  wait       waits (up to a minute) for a signal to end it
  os_exit    os._exit(3), no exit hook
  abort      abort() called by a NativeEffect in the loop thread
  segfault   a read at address 0 in the main thread
  exec       replaces itself with another program
For the ways it ends by itself it waits for a line on standard input, then prints "ending T", T
its time.monotonic(), and ends.
"""

import ctypes
import os
import sys
import time

sys.path.insert(0, sys.argv[1])
import OrvexHardwareAPI  # noqa: E402
import OrvexHaptics  # noqa: E402


def main():
    port, way = sys.argv[2], sys.argv[3]
    loop = OrvexHaptics.ServoLoop(OrvexHardwareAPI.SerialStream(port), watchdog_s=0, ramp_s=0)
    loop.force = [6.0, 0.0, 0.0]
    loop.start()
    time.sleep(0.05)
    print("ready", flush=True)
    if way == "wait":
        time.sleep(60)
        return
    sys.stdin.readline()
    ending = lambda: print("ending", repr(time.monotonic()), flush=True)  # noqa: E731
    if way == "os_exit":
        ending()
        os._exit(3)
    elif way == "abort":
        address = ctypes.cast(ctypes.CDLL(None).abort, ctypes.c_void_p).value
        ending()
        loop.add(OrvexHaptics.NativeEffect(address))
        time.sleep(60)
    elif way == "segfault":
        ending()
        ctypes.string_at(0)
    elif way == "exec":
        ending()
        os.execv("/bin/sleep", ["sleep", "1"])
    raise SystemExit("unknown way: " + way)


if __name__ == "__main__":
    main()
