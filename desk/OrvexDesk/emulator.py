"""Virtual devices for a desk on a machine with none: `orvex-emulator` as a co-process.

The emulator ends when its standard input closes, so it cannot outlive the desk, however the
desk ends."""

import shutil
import subprocess
from pathlib import Path
from typing import List, Optional, Tuple

import OrvexHardwareAPI as orvex

ARGUMENTS = ["--corvane", "--handle", "--stream", "100"]


def arguments(control: str) -> List[str]:
    """The Corvane held by a hand that `control`, a socket's path, moves."""
    return ARGUMENTS[:1] + ["--control", control] + ARGUMENTS[1:]


def find_emulator(given: Optional[str]) -> str:
    """The named program, else one on PATH, else the one a build folder holds beside the module."""
    if given:
        return given
    candidates = [shutil.which("orvex-emulator"),
                  str(Path(orvex.__file__).resolve().parent / "tools" / "emulator" / "orvex-emulator")]
    for candidate in candidates:
        if candidate and Path(candidate).is_file():
            return candidate
    raise SystemExit("orvex-emulator not found: build it, or name it with --emulator PATH")


def start_emulator(program: str, control: str) -> Tuple[subprocess.Popen, List[Tuple[str, str]]]:
    """The running emulator and its devices, as (kind, port) in order; the hand on its Corvane
    listens at `control`."""
    process = subprocess.Popen([program, *arguments(control)], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    devices = []
    for _ in range(2):
        line = process.stdout.readline().split()
        if len(line) != 2:
            process.kill()
            raise SystemExit("orvex-emulator did not start")
        devices.append((line[0], line[1]))
    return process, devices
