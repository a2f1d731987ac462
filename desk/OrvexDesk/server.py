"""The desk's HTTP side: the page and its assets, a JSON interface, and the live event stream.

Every answer that is not the page is JSON; a refused request gets a 4xx status and
{"error": "..."} naming the problem, and reaches no device. Who may ask at all is `guard`'s
business, checked before anything else.
"""

import json
import mimetypes
import re
import select
import socket
import ssl
import sys
import threading
from pathlib import Path
from typing import Any, Callable, Dict, Optional, Tuple
from urllib.parse import urlsplit

from . import hand, requests
from .connections import BoundedHTTPServer, ReceivedRequestHandler
from .desk import Desk
from .guard import SECURITY_HEADERS, Guard
from .pages import Page, Pages
from .requests import Refused

ASSETS = Path(__file__).resolve().parent / "web"
KEEPALIVE_S = 0.5        # an idle event stream still says something this often
BACKLOG = 300            # log lines a newly connected page gets
MAX_EVENT_STREAMS = 8    # pages following the desk at once
STREAM_SEND_BUFFER = 64 * 1024  # what the kernel may hold for a page that stopped reading
MAX_PATH = 2048          # far longer than any route; a longer one is answered 414 unread
MAX_ASSET_NAME = 64      # the build's file names are short; longer ones are looked up nowhere
SESSION_PATH = "/api/session"


class DeskServer(BoundedHTTPServer):
    max_body = requests.MAX_BODY

    def __init__(self, address: Tuple[str, int], desk: Desk, pages: Pages,
                 tls: Optional[ssl.SSLContext] = None):
        self.desk = desk
        self.handler_class = DeskHandler
        super().__init__(address, extra_workers=MAX_EVENT_STREAMS, tls=tls)
        self.guard = Guard(address[0], self.server_address[1], pages,
                           scheme="https" if tls else "http")
        self.event_streams = threading.BoundedSemaphore(MAX_EVENT_STREAMS)


Route = Callable[["DeskHandler", Dict[str, Any], Optional[str]], Tuple[int, Any]]


class DeskHandler(ReceivedRequestHandler):
    server: DeskServer  # type: ignore[assignment]  # not a socketserver, but serves as one
    server_version = "OrvexDesk"
    page: Page  # the session of the page that asks, once its token was checked
    sys_version = ""  # the interpreter's version is nobody's business

    def log_message(self, format: str, *args: Any) -> None:
        """Requests are not worth a line each; the page's message log tells what happened."""

    def end_headers(self) -> None:
        for name, value in SECURITY_HEADERS.items():
            self.send_header(name, value)
        super().end_headers()

    def do_GET(self) -> None:
        self._dispatch("GET")

    def do_POST(self) -> None:
        self._dispatch("POST")

    def do_PUT(self) -> None:
        self._dispatch("PUT")

    def do_DELETE(self) -> None:
        self._dispatch("DELETE")

    def do_OPTIONS(self) -> None:
        """Says what the desk takes; allows no other origin anything (no CORS headers)."""
        try:
            self.server.guard.check_host(self.headers)
            self.server.guard.check_fetch_site(self.headers)
        except Refused as refused:
            return self._json(refused.status, {"error": refused.message})
        self.send_response(204)
        self.send_header("Allow", "GET, POST, PUT, DELETE, OPTIONS")
        self.send_header("Content-Length", "0")
        self.send_header("Cache-Control", "no-store")
        self.end_headers()

    # -- plumbing

    def send_error(self, code: int, message: Optional[str] = None,
                   explain: Optional[str] = None) -> None:
        """http.server's own refusals (a request line too long or malformed, an unknown method):
        a short JSON answer that never echoes the request."""
        self.close_connection = True
        reason = message or self.responses.get(code, ("refused",))[0]
        self._json(code, {"error": reason[:120]})

    def _dispatch(self, method: str) -> None:
        guard = self.server.guard
        try:
            if len(self.path) > MAX_PATH:
                raise Refused(414, "a path of %d characters is longer than any the desk has"
                              % len(self.path))
            url = urlsplit(self.path)
            guard.check_host(self.headers)
            guard.check_fetch_site(self.headers)
            if method == "GET" and url.path == "/":
                return self._page()
            if method == "GET" and url.path.startswith("/assets/"):
                return self._asset(url.path[len("/assets/"):])
            if method == "POST" and url.path == SESSION_PATH:
                guard.check_change(method, self.headers)
                return self._json(*start_session(self, self._body()))
            self.page = guard.check_token(self.headers)
            self.page.seen()
            guard.check_change(method, self.headers)
            if method == "GET" and url.path == "/api/events":
                return self._events()
            route, device = self._route(method, url.path)
            body = self._body() if method in ("POST", "PUT") else {}
            status, answer = route(self, body, device)
            self._json(status, answer)
        except Refused as refused:
            self._json(refused.status, {"error": refused.message})
        except (BrokenPipeError, ConnectionResetError, socket.timeout):
            raise
        except Exception as error:  # an answer, never a traceback or a path, whatever went wrong
            print("OrvexDesk: a %s request failed: %s" % (method, repr(error)[:200]),
                  file=sys.stderr, flush=True)
            self._json(500, {"error": "the desk failed to do this; its terminal says why"})

    def _route(self, method: str, path: str) -> Tuple[Route, Optional[str]]:
        for (route_method, pattern), route in ROUTES.items():
            found = re.fullmatch(pattern, path)
            if found and route_method == method:
                return route, (found.group(1) if found.groups() else None)
        if any(re.fullmatch(pattern, path) for _, pattern in ROUTES):
            raise Refused(405, "%s is not allowed on %s" % (method, path[:100]))
        raise Refused(404, "no such thing as %s" % path[:100])

    def _body(self) -> Dict[str, Any]:
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            raise Refused(400, "Content-Length is not a number") from None
        if length > requests.MAX_BODY:
            raise Refused(413, "the body is larger than %d bytes" % requests.MAX_BODY)
        if length <= 0:
            return {}
        return requests.parse_body(self.rfile.read(length))

    def _json(self, status: int, answer: Any) -> None:
        data = json.dumps(answer).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(data)

    def _file(self, data: bytes, content_type: str) -> None:
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(data)

    # -- the page

    def _page(self) -> None:
        """The page: the same for everybody, holding no secret. It trades the one-time code of
        the link it was opened from for its session (see `pages`)."""
        page = ASSETS / "index.html"
        if not page.is_file():
            raise Refused(404, "the desk's page is not built; script/desk builds it")
        self._file(page.read_bytes(), "text/html; charset=utf-8")

    def _asset(self, name: str) -> None:
        """The page's script and style: the same for everybody, so they need no token."""
        # Only the files the build put there, by name: no path leads out of the folder.
        if (len(name) > MAX_ASSET_NAME or not re.fullmatch(r"[\w.-]+", name, re.ASCII)
                or name.startswith(".") or name == "index.html"):
            raise Refused(404, "no such asset")
        path = ASSETS / name
        if not path.is_file():
            raise Refused(404, "no asset %s" % name)
        content_type = mimetypes.guess_type(name)[0] or "application/octet-stream"
        if content_type.startswith("text/") or content_type.endswith("javascript"):
            content_type += "; charset=utf-8"
        self._file(path.read_bytes(), content_type)

    # -- the live view

    def _events(self) -> None:
        """Server-sent events: one "update" per sampled frame, a comment line when idle.

        The stream only shows; it does not keep any force on (the page's heartbeat does). A page
        that stops reading fills the little the kernel may hold for it, then a write times out
        and the stream ends."""
        if not self.server.event_streams.acquire(blocking=False):
            raise Refused(503, "%d pages already follow this desk" % MAX_EVENT_STREAMS)
        self.page.stream_opened()
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, STREAM_SEND_BUFFER)
            self._stream_events()
        except (BrokenPipeError, ConnectionResetError, socket.timeout):
            pass
        finally:
            self.page.stream_closed()
            self.server.event_streams.release()

    def _stream_events(self) -> None:
        desk = self.server.desk
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        seq = desk.broadcast.seq
        hello = {"devices": [desk.describe(s) for s in desk.sessions()],
                 "log": desk.log.after(desk.log.last_seq - BACKLOG),
                 "max_force": desk.max_force, "page": self.page.id}
        self._event("hello", hello)
        while not desk.broadcast.closed and not self._page_gone():
            frames = desk.broadcast.wait_after(seq, KEEPALIVE_S)
            for seq, frame in frames:
                self._event("update", frame)
            if not frames:
                self.wfile.write(b": keep-alive\n\n")

    def _page_gone(self) -> bool:
        """The page closed its end: a write would still succeed once, so look before writing."""
        if not select.select([self.connection], [], [], 0)[0]:
            return False
        try:
            if isinstance(self.connection, ssl.SSLSocket):
                # TLS cannot peek; the page sends nothing more on its stream but its goodbye.
                return self.connection.recv(1) == b""
            return self.connection.recv(1, socket.MSG_PEEK) == b""
        except ssl.SSLWantReadError:
            return False
        except OSError:
            return True

    def _event(self, name: str, data: Any) -> None:
        self.wfile.write(("event: %s\ndata: %s\n\n" % (name, json.dumps(data))).encode())


# -- the JSON interface


def start_session(handler: DeskHandler, body: Dict[str, Any]) -> Tuple[int, Any]:
    """A page trades the one-time code of its link for its session token."""
    requests.fields(body, ["code"], "a session request")
    page = handler.server.guard.pages.exchange(requests.text(body.get("code"), "code"))
    if page is None:
        raise Refused(401, "this link was used already, or is not the desk's")
    handler.server.desk.log.note("desk", "%s opened" % page.id)
    return 201, {"token": page.token, "page": page.id}


def heartbeat(handler: DeskHandler, body: Dict[str, Any], _: Optional[str]) -> Tuple[int, Any]:
    """The page's script is alive: the only thing that keeps the forces of its devices on."""
    requests.fields(body, [], "a heartbeat")
    return 200, {"fed": handler.server.desk.feed(handler.page)}


def list_devices(handler: DeskHandler, body: Dict[str, Any], _: Optional[str]) -> Tuple[int, Any]:
    desk = handler.server.desk
    return 200, {"devices": [desk.describe(s) for s in desk.sessions()],
                 "max_force": desk.max_force, "page": handler.page.id}


def scan(handler: DeskHandler, body: Dict[str, Any], _: Optional[str]) -> Tuple[int, Any]:
    requests.fields(body, [], "a scan")
    return 200, handler.server.desk.scan()


def open_device(handler: DeskHandler, body: Dict[str, Any], _: Optional[str]) -> Tuple[int, Any]:
    requests.fields(body, ["kind", "port"], "a device to open")
    kind = requests.text(body.get("kind"), "kind")
    port = requests.text(body.get("port"), "port")
    desk = handler.server.desk
    return 201, desk.describe(desk.open(kind, port, handler.page))


def close_device(handler: DeskHandler, body: Dict[str, Any], name: Optional[str]) -> Tuple[int, Any]:
    handler.server.desk.written(str(name), handler.page)
    handler.server.desk.close(str(name))
    return 200, {"closed": name}


def take_over(handler: DeskHandler, body: Dict[str, Any], name: Optional[str]) -> Tuple[int, Any]:
    """The explicit action by which a page takes a device another page holds."""
    requests.fields(body, [], "a take-over")
    desk = handler.server.desk
    return 200, desk.describe(desk.take_over(str(name), handler.page))


def of_kind(session: Any, kind: str, name: Optional[str]) -> Any:
    if session.kind != kind:
        raise Refused(400, "%s is not a %s" % (name, "Corvane" if kind == "corvane" else "handle"))
    return session


def corvane(handler: DeskHandler, name: Optional[str]) -> Any:
    """The Corvane, when the asking page holds it (or takes it, held by no page)."""
    return of_kind(handler.server.desk.written(str(name), handler.page), "corvane", name)


def handle(handler: DeskHandler, name: Optional[str]) -> Any:
    return of_kind(handler.server.desk.written(str(name), handler.page), "handle", name)


def set_loop(handler: DeskHandler, body: Dict[str, Any], name: Optional[str]) -> Tuple[int, Any]:
    requests.fields(body, ["running"], "the loop")
    if requests.flag(body.get("running"), "running"):
        session = corvane(handler, name)
        session.start()
    else:
        # Any page may let go of the arm: stopping sends zero, whoever holds the device.
        session = of_kind(handler.server.desk.session(str(name)), "corvane", name)
        session.stop()
    return 200, handler.server.desk.describe(session)


def set_effects(handler: DeskHandler, body: Dict[str, Any], name: Optional[str]) -> Tuple[int, Any]:
    session = corvane(handler, name)
    session.set_effects(requests.effects(body, session.max_force))
    return 200, handler.server.desk.describe(session)


def request_status(handler: DeskHandler, body: Dict[str, Any],
                   name: Optional[str]) -> Tuple[int, Any]:
    session = handle(handler, name)
    requests.fields(body, [], "a status request")
    session.request_status()
    return 202, {"sent": "status request"}


def send_state(handler: DeskHandler, body: Dict[str, Any], name: Optional[str]) -> Tuple[int, Any]:
    session = handle(handler, name)
    requests.fields(body, ["device_id", "user_data"], "a handle state")
    device_id = requests.integer(body.get("device_id", 0), "device_id", 0, 65535)
    data = requests.user_data(body.get("user_data"))
    session.send_state(device_id, data)
    return 202, {"sent": "handle state", "bytes": len(data)}


DEVICE = r"/api/devices/([\w-]+)"
ROUTES: Dict[Tuple[str, str], Route] = {
    ("GET", r"/api/devices"): list_devices,
    ("POST", r"/api/devices"): open_device,
    ("POST", r"/api/scan"): scan,
    ("POST", r"/api/heartbeat"): heartbeat,
    ("DELETE", DEVICE): close_device,
    ("POST", DEVICE + "/holder"): take_over,
    ("POST", DEVICE + "/loop"): set_loop,
    ("PUT", DEVICE + "/effects"): set_effects,
    ("POST", DEVICE + "/status"): request_status,
    ("POST", DEVICE + "/state"): send_state,
    ("GET", r"/api/hand"): hand.available,
    ("POST", r"/api/hand"): hand.move,
}
