"""Starts the desk: python -m OrvexDesk [--emulate] [--host ADDRESS] [--port N] [--allow-port PATH]."""

import argparse
import os
import secrets
import signal
import sys
import tempfile
import threading

from .desk import Desk
from .emulator import find_emulator, start_emulator
from .hand import EmulatedHand
from .requests import Refused
from .server import DeskServer


def arguments(argv):
    parser = argparse.ArgumentParser(prog="python -m OrvexDesk",
                                     description="See and try a Corvane and a handle in the browser.")
    parser.add_argument("--emulate", action="store_true",
                        help="start orvex-emulator with one Corvane and one streaming handle, and open them")
    parser.add_argument("--emulator", metavar="PATH", help="the orvex-emulator program to start")
    parser.add_argument("--host", metavar="ADDRESS", default="127.0.0.1",
                        help="listen on this address instead of 127.0.0.1 (the page is then open to"
                             " anyone who can reach it and has the printed link)")
    parser.add_argument("--port", type=int, default=8765, help="port to listen on, 0 for any free one (default 8765)")
    parser.add_argument("--allow-port", metavar="PATH", action="append", default=[],
                        help="let the page open this port too, besides ttyACM, ttyUSB and rfcomm"
                             " ports and those a scan found (may be given more than once)")
    parser.add_argument("--max-force", type=float, default=10.0, metavar="NEWTONS",
                        help="the servo loop's force limit; the page cannot ask for more (default 10)")
    options = parser.parse_args(argv)
    if not 0 < options.max_force <= 100:
        parser.error("--max-force must lie in (0, 100]")
    return options


def main(argv=None) -> int:
    options = arguments(argv)
    # A fresh token at each start: only the page opened from the printed link holds it.
    token = secrets.token_urlsafe(24)
    emulator = None
    devices = []
    hand = None
    if options.emulate:
        # A short folder of its own: a socket's path holds at most 107 bytes.
        control = os.path.join(tempfile.mkdtemp(prefix="orvex-desk-"), "hand.sock")
        emulator, devices = start_emulator(find_emulator(options.emulator), control)
        hand = EmulatedHand(control)

    desk = Desk(options.max_force, options.allow_port + [port for _, port in devices])
    server = DeskServer((options.host, options.port), desk, token)
    server.hand = hand
    for kind, port in devices:
        try:
            desk.open(kind, port)
        except Refused as refused:
            print("OrvexDesk: %s" % refused.message, file=sys.stderr)

    host, port = server.server_address[:2]
    shown = "[%s]" % host if ":" in host else host
    print("OrvexDesk: open http://%s:%d/?token=%s" % (shown, port, token), flush=True)

    # SIGTERM ends the desk as Ctrl-C does: loops stopped with zero force, emulator closed.
    signal.signal(signal.SIGTERM, lambda *_: threading.Thread(target=server.shutdown).start())
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
        desk.shutdown()
        if emulator is not None:
            hand.close()
            emulator.stdin.close()
            emulator.wait(timeout=10)
            os.rmdir(os.path.dirname(control))
    print("OrvexDesk: stopped", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
