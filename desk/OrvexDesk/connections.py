"""The desk's connections: gathered by one thread, answered by a fixed pool of others.

The serving thread accepts every connection and reads its request, head and body, without
blocking; only a request that has fully arrived is handed to a worker. A connection that sends
nothing, or sends slowly, thus costs a descriptor and a few bytes, never a thread: it is closed
when its time runs out, or, when too many wait, to make room for the newest. Every answer is
one request on one connection (HTTP/1.0), so a worker is free again once it has answered,
except for the event streams, which keep theirs until the page goes.
"""

import collections
import io
import queue
import resource
import selectors
import socket
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler
from typing import Optional, Tuple

REQUEST_WORKERS = 6          # answers being written at once, besides the event streams
QUEUED_REQUESTS = 64         # requests waiting for a worker; beyond them, 503 at once
REQUEST_TIME_S = 10.0        # from connecting to the request's last byte
WRITE_TIMEOUT_S = 3.0        # a send that makes no progress for this long ends the connection
LISTEN_BACKLOG = 1024        # the kernel caps it at net.core.somaxconn
MAX_HEAD = 16 * 1024
MAX_WAITING = 1024           # connections still sending their request, at most


def waiting_limit() -> int:
    """Connections allowed to wait at once: MAX_WAITING, or half the descriptors a process may
    have where that is less, so the desk never runs out of them for its devices and answers."""
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY:
        return MAX_WAITING
    return max(16, min(MAX_WAITING, soft // 2))


def plain_answer(status: int, reason: str, message: str) -> bytes:
    """A whole answer for a connection the desk will not serve, sent without a worker."""
    body = ('{"error": "%s"}' % message).encode()
    return (b"HTTP/1.0 %d %s\r\nContent-Type: application/json\r\nContent-Length: %d\r\n"
            b"Cache-Control: no-store\r\nConnection: close\r\n\r\n%s"
            % (status, reason.encode(), len(body), body))


class _Arriving:
    """A connection whose request is still on its way."""

    __slots__ = ("sock", "address", "received", "deadline", "needed", "greeted")

    def __init__(self, sock: socket.socket, address: Tuple, deadline: float):
        self.sock = sock
        self.address = address
        self.greeted = not isinstance(sock, ssl.SSLSocket)  # a TLS handshake is done
        self.received = bytearray()
        self.deadline = deadline
        self.needed: Optional[int] = None  # the request's whole length, once its head is in

    def complete(self, max_body: int) -> bool:
        """The request has fully arrived, or has arrived as far as the desk will read it."""
        if self.needed is None:
            end = self.received.find(b"\r\n\r\n")
            if end < 0:
                return len(self.received) > MAX_HEAD
            length = _content_length(self.received[:end])
            # A body longer than the desk takes is refused unread.
            self.needed = end + 4 + (length if length <= max_body else 0)
        return len(self.received) >= self.needed


def _content_length(head: bytes) -> int:
    """The body's length as the head gives it; 0 when absent or not a number (the handler
    refuses the latter itself)."""
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            value = value.strip()
            return int(value) if value.isdigit() and len(value) < 12 else 0
    return 0


class _SocketWriter(io.RawIOBase):
    """The answer's file: each write is sent whole, or fails within the socket's timeout."""

    def __init__(self, sock: socket.socket):
        super().__init__()
        self._sock = sock

    def writable(self) -> bool:
        return True

    def write(self, data) -> int:  # type: ignore[override]
        self._sock.sendall(data)
        return len(data)


class ReceivedRequestHandler(BaseHTTPRequestHandler):
    """A request handler given a request that has already arrived whole."""

    def __init__(self, sock: socket.socket, address: Tuple, server: "BoundedHTTPServer",
                 received: bytes):
        self._received = received
        super().__init__(sock, address, server)  # type: ignore[arg-type]  # serves as one

    def setup(self) -> None:
        self.connection = self.request
        self.connection.settimeout(WRITE_TIMEOUT_S)
        self.rfile = io.BytesIO(self._received)
        self.wfile = _SocketWriter(self.connection)  # type: ignore[assignment]  # writes bytes

    def finish(self) -> None:
        self.wfile.close()
        self.rfile.close()


class BoundedHTTPServer:
    """Serves `handler_class` (a ReceivedRequestHandler) with a bounded number of threads.

    `extra_workers` are added to the pool for answers that last (event streams), which their
    handler must itself keep at no more than that many. With `tls`, every connection is TLS,
    its handshake made by the serving thread without blocking, like the request's reading."""

    handler_class = ReceivedRequestHandler
    max_body = 64 * 1024

    def __init__(self, address: Tuple[str, int], extra_workers: int = 0,
                 tls: Optional[ssl.SSLContext] = None):
        self._tls = tls
        family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        self.socket = socket.socket(family, socket.SOCK_STREAM)
        try:
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.socket.bind(address)
            self.socket.listen(LISTEN_BACKLOG)
        except OSError:
            self.socket.close()
            raise
        self.socket.setblocking(False)
        self.server_address = self.socket.getsockname()
        self._waiting_limit = waiting_limit()
        self._arriving: "collections.OrderedDict[socket.socket, _Arriving]" = collections.OrderedDict()
        self._selector = selectors.DefaultSelector()
        self._selector.register(self.socket, selectors.EVENT_READ)
        self._requests: "queue.Queue[Optional[Tuple[socket.socket, Tuple, bytes]]]" = \
            queue.Queue(QUEUED_REQUESTS)
        self._stop = threading.Event()
        self._stopped = threading.Event()
        self._workers = [threading.Thread(target=self._work, name="desk worker %d" % n, daemon=True)
                         for n in range(REQUEST_WORKERS + extra_workers)]
        for worker in self._workers:
            worker.start()

    # -- the serving thread

    def serve_forever(self, poll_interval: float = 0.5) -> None:
        self._stopped.clear()
        try:
            while not self._stop.is_set():
                for key, _ in self._selector.select(self._wait_time(poll_interval)):
                    if key.fileobj is self.socket:
                        self._accept()
                    else:
                        # A connection dropped earlier in this batch (to make room for a new
                        # one) may still have its event in it.
                        arriving = self._arriving.get(key.fileobj)  # type: ignore[call-overload]
                        if arriving is not None:
                            self._receive(arriving)
                self._expire()
        finally:
            self._stopped.set()

    def shutdown(self) -> None:
        """Ends serve_forever, from another thread, and waits for it to end."""
        self._stop.set()
        self._stopped.wait()

    def server_close(self) -> None:
        for arriving in list(self._arriving.values()):
            self._drop(arriving)
        self._selector.close()
        self.socket.close()
        for _ in self._workers:
            try:
                self._requests.put_nowait(None)
            except queue.Full:
                break

    @property
    def waiting(self) -> int:
        """Connections whose request has not fully arrived."""
        return len(self._arriving)

    def _wait_time(self, poll_interval: float) -> float:
        if not self._arriving:
            return poll_interval
        oldest = next(iter(self._arriving.values()))
        return max(0.0, min(poll_interval, oldest.deadline - time.monotonic()))

    def _accept(self) -> None:
        for _ in range(64):  # then let the waiting connections have a turn
            try:
                sock, address = self.socket.accept()
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                # Out of descriptors: the oldest waiting connection makes room.
                if self._arriving:
                    self._drop(next(iter(self._arriving.values())))
                return
            if len(self._arriving) >= self._waiting_limit:
                self._drop(next(iter(self._arriving.values())))
            sock.setblocking(False)
            if self._tls is not None:
                sock = self._tls.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
            arriving = _Arriving(sock, address, time.monotonic() + REQUEST_TIME_S)
            self._arriving[sock] = arriving
            self._selector.register(sock, selectors.EVENT_READ)

    def _receive(self, arriving: _Arriving) -> None:
        while True:
            try:
                if not arriving.greeted:
                    arriving.sock.do_handshake()  # type: ignore[attr-defined]  # an SSLSocket
                    arriving.greeted = True
                chunk = arriving.sock.recv(65536)
            except (BlockingIOError, InterruptedError, ssl.SSLWantReadError, ssl.SSLWantWriteError):
                return
            except OSError:  # a failed handshake included
                chunk = b""
            if not chunk:
                self._drop(arriving)
                return
            arriving.received += chunk
            if arriving.complete(self.max_body):
                break
            # TLS may hold decrypted bytes that no readiness of the socket announces.
            if not (isinstance(arriving.sock, ssl.SSLSocket) and arriving.sock.pending()):
                return
        self._selector.unregister(arriving.sock)
        del self._arriving[arriving.sock]
        arriving.sock.setblocking(True)
        try:
            self._requests.put_nowait((arriving.sock, arriving.address, bytes(arriving.received)))
        except queue.Full:
            self._refuse(arriving.sock, plain_answer(503, "Service Unavailable",
                                                     "the desk is busy; try again"))

    def _expire(self) -> None:
        now = time.monotonic()
        while self._arriving:
            oldest = next(iter(self._arriving.values()))
            if oldest.deadline > now:
                return
            self._drop(oldest)

    def _drop(self, arriving: _Arriving) -> None:
        self._selector.unregister(arriving.sock)
        del self._arriving[arriving.sock]
        arriving.sock.close()

    @staticmethod
    def _refuse(sock: socket.socket, answer: bytes) -> None:
        """Sends a short answer if the socket takes it at once, and closes the connection."""
        try:
            sock.setblocking(False)
            sock.send(answer)
        except OSError:
            pass
        sock.close()

    # -- the workers

    def _work(self) -> None:
        while True:
            item = self._requests.get()
            if item is None:
                return
            sock, address, received = item
            try:
                self.handler_class(sock, address, self, received)
            except OSError:
                pass  # the page went while being answered
            except Exception as error:  # a worker that died would shrink the pool for good
                print("OrvexDesk: a request failed: %r" % error, file=sys.stderr, flush=True)
            finally:
                try:
                    sock.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                sock.close()
