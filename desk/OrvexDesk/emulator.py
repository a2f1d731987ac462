"""Virtual devices for a desk on a machine with none: `orvex-emulator` as a co-process.

The emulator ends when its standard input closes, so it cannot outlive the desk, however the
desk ends. It runs in a session of its own: the signals of the desk's terminal (a hang-up,
Ctrl-C, Ctrl-\\) go to the desk alone, which sends its zero force to the device before closing
the emulator."""

import subprocess
from typing import List, Optional, Tuple

ARGUMENTS = ["--realtime", "--corvane", "--handle", "--stream", "100"]


def arguments(control: str) -> List[str]:
    """The Corvane held by a hand that `control`, a socket's path, moves."""
    return ARGUMENTS[:2] + ["--control", control] + ARGUMENTS[2:]


def find_emulator(given: Optional[str]) -> str:
    """The named program, else the one OrvexHaptics.testing starts: $ORVEX_EMULATOR, the one
    installed with the modules, the one of their build folder, or one on PATH."""
    if given:
        return given
    from OrvexHaptics.testing import find_emulator as found

    try:
        return found()
    except FileNotFoundError:
        raise SystemExit("orvex-emulator not found: build it, or name it with --emulator PATH")


def start_emulator(program: str, control: str) -> Tuple[subprocess.Popen, List[Tuple[str, str]]]:
    """The running emulator and its devices, as (kind, port) in order; the hand on its Corvane
    listens at `control`."""
    process = subprocess.Popen([program, *arguments(control)], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True, start_new_session=True)
    devices = []
    for _ in range(2):
        line = process.stdout.readline().split()
        if len(line) != 2:
            process.kill()
            raise SystemExit("orvex-emulator did not start")
        devices.append((line[0], line[1]))
    return process, devices
