"""Imports the module, shows its versions and opens a serial stream on a pseudo-terminal."""

import os
import sys
import termios

import OrvexHardwareAPI as orvex

print("Python", sys.version.split()[0], "imported", orvex.__name__, "from", orvex.__file__)
print(orvex.__doc__)
print("module version:", orvex.__version__, "| library version:", orvex.get_cpp_version())
sys.stdout.flush()  # the library prints on descriptor 1 itself
orvex.print_cpp_version()

master, slave = os.openpty()
path = os.ttyname(slave)
stream = orvex.SerialStream(path)
iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(slave)
speed = {termios.B115200: "115200"}.get(ispeed, str(ispeed))
print("SerialStream opened on", path, "->", speed, "baud,",
      "8N1" if cflag & termios.CSIZE == termios.CS8 and not cflag & termios.PARENB else "?",
      "raw" if lflag == 0 and oflag == 0 else "cooked")
del stream
os.close(slave)
os.close(master)
