"""Starts the desk: python -m OrvexDesk [--emulate] [--host ADDRESS] [--port N] [--allow-port PATH]."""

import argparse
import os
import signal
import ssl
import sys
import tempfile
import threading

from .corvane_session import MAX_FORCE_STEP
from .desk import Desk
from .emulator import find_emulator, start_emulator
from .pages import Pages
from .reach import link_host, loopback
from .hand import EmulatedHand
from .requests import Refused
from .server import DeskServer

# Each ends the desk as Ctrl-C does: loops stopped with zero force sent, emulator closed.
# SIGHUP is the terminal running the desk closing; SIGQUIT is Ctrl-\.
ENDING_SIGNALS = (signal.SIGHUP, signal.SIGTERM, signal.SIGINT, signal.SIGQUIT)


def arguments(argv):
    parser = argparse.ArgumentParser(prog="python -m OrvexDesk",
                                     description="See and try a Corvane and a handle in the browser.")
    parser.add_argument("--emulate", action="store_true",
                        help="start orvex-emulator with one Corvane and one streaming handle, and open them")
    parser.add_argument("--emulator", metavar="PATH", help="the orvex-emulator program to start")
    parser.add_argument("--host", metavar="ADDRESS", default="127.0.0.1",
                        help="listen on this address instead of 127.0.0.1; other than a loopback"
                             " address only with --tls or --insecure-http")
    parser.add_argument("--port", type=int, default=8765, help="port to listen on, 0 for any free one (default 8765)")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"),
                        help="serve HTTPS with this certificate chain and private key (PEM files)")
    parser.add_argument("--insecure-http", action="store_true",
                        help="serve plain HTTP on a --host other than loopback: the session token"
                             " then crosses the network in clear text")
    parser.add_argument("--allow-port", metavar="PATH", action="append", default=[],
                        help="let the page open this port too, besides ttyACM, ttyUSB and rfcomm"
                             " ports and those a scan found (may be given more than once)")
    parser.add_argument("--max-force", type=float, default=10.0, metavar="NEWTONS",
                        help="the servo loop's force limit; the page cannot ask for more (default 10)")
    parser.add_argument("--max-force-step", type=float, default=MAX_FORCE_STEP, metavar="NEWTONS",
                        help="the largest change of the force from one 1 kHz cycle to the next"
                             " (default %g: the stiffest wall, 5000 N/m, met at 0.1 m/s grows by"
                             " that much a cycle, so effects keep their feel, while a 20 N reversal"
                             " takes 40 ms instead of one cycle); at most 1" % MAX_FORCE_STEP)
    options = parser.parse_args(argv)
    if not 0 < options.max_force <= 100:
        parser.error("--max-force must lie in (0, 100]")
    if not 0 < options.max_force_step <= 1:
        parser.error("--max-force-step must lie in (0, 1]")
    if options.tls and options.insecure_http:
        parser.error("--tls and --insecure-http exclude each other")
    if not loopback(options.host) and not options.tls and not options.insecure_http:
        parser.error("--host %s is reachable from other machines: give --tls CERT KEY, or"
                     " --insecure-http to send the session token in clear text" % options.host)
    return options


def tls_context(files):
    if not files:
        return None
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    try:
        context.load_cert_chain(*files)
    except (OSError, ssl.SSLError) as error:
        raise SystemExit("OrvexDesk: cannot use --tls %s %s: %s" % (*files, error))
    return context


def say(text):
    """A line on the terminal, which may have gone (closed, hung up): then nobody reads it."""
    try:
        print("OrvexDesk: %s" % text, flush=True)
    except OSError:
        pass


def main(argv=None) -> int:
    options = arguments(argv)
    tls = tls_context(options.tls)
    if options.insecure_http:
        print("OrvexDesk: warning: plain HTTP on %s: anyone on the network path can read the"
              " session token and command the arm" % options.host, file=sys.stderr, flush=True)
    emulator = None
    devices = []
    hand = None
    if options.emulate:
        # A short folder of its own: a socket's path holds at most 107 bytes.
        control = os.path.join(tempfile.mkdtemp(prefix="orvex-desk-"), "hand.sock")
        emulator, devices = start_emulator(find_emulator(options.emulator), control)
        hand = EmulatedHand(control, dict(devices)["corvane"])

    link = {}
    # Every link is for one page: once one is used, the next one is printed for another page or
    # a reload.
    pages = Pages(announce=lambda code: say("next page (another tab, or a reload): open %s#code=%s"
                                            % (link["base"], code)))
    desk = Desk(options.max_force, options.allow_port + [port for _, port in devices],
                max_force_step=options.max_force_step)
    server = DeskServer((options.host, options.port), desk, pages, tls=tls)
    server.hand = hand
    for kind, port in devices:
        try:
            desk.open(kind, port)
        except Refused as refused:
            print("OrvexDesk: %s" % refused.message, file=sys.stderr)

    port = server.server_address[1]
    link["base"] = "%s://%s:%d/" % ("https" if tls else "http", link_host(options.host), port)
    say("open %s#code=%s" % (link["base"], pages.code))

    def end(*_):
        threading.Thread(target=server.shutdown, daemon=True).start()

    for number in ENDING_SIGNALS:
        signal.signal(number, end)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        server.server_close()
        desk.shutdown()
        if emulator is not None:
            hand.close()
            emulator.stdin.close()
            emulator.wait(timeout=10)
            os.rmdir(os.path.dirname(control))
    say("stopped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
