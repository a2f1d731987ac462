"""A serial line carried over TCP by socat, as users reach a device on another machine: one socat
listens on the loopback address and holds the device's port, the other connects to it and offers
the program a pseudo-terminal linked at a path of its choosing."""

import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

SOCAT = shutil.which("socat")


class Trickle:
    """A hop in the TCP connection that passes on what the device sends in pieces of `piece`
    bytes, `pause` seconds apart, as a slow or busy network does; commands pass at once."""

    def __init__(self, device_port, piece, pause):
        self._piece, self._pause = piece, pause
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._device_port = device_port
        self._sockets = [self._listener]
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        try:
            program, _ = self._listener.accept()
            self._sockets.append(program)
            device = socket.create_connection(("127.0.0.1", self._device_port))
            self._sockets.append(device)
        except OSError:
            return
        for sock in (program, device):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=self._pass, args=(program, device, 1 << 16, 0),
                         daemon=True).start()
        self._pass(device, program, self._piece, self._pause)

    @staticmethod
    def _pass(source, sink, piece, pause):
        try:
            while True:
                data = source.recv(1 << 16)
                if not data:
                    break
                for start in range(0, len(data), piece):
                    sink.sendall(data[start:start + piece])
                    time.sleep(pause)
        except OSError:
            pass

    def close(self):
        for sock in self._sockets:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()
        self._thread.join(5)


class Relay:
    """Both ends of the relay for the port at device_path; the program opens `path`. With
    trickle=(piece, pause) the connection passes through a Trickle, so that every reply reaches
    the program in pieces across several reads."""

    def __init__(self, device_path, path, trickle=None, timeout=5.0):
        self.path = str(path)
        self._logs = Path(tempfile.mkdtemp(prefix="orvex-relay-"))
        self._processes = []
        self._trickle = None
        self._deadline = time.monotonic() + timeout
        try:
            device_side = self._start(
                "device", "TCP-LISTEN:0,bind=127.0.0.1,reuseaddr,nodelay",
                "FILE:%s,raw,echo=0" % device_path)
            port = self._wait_for(device_side, r"listening on AF=2 127\.0\.0\.1:(\d+)")
            if trickle:
                self._trickle = Trickle(int(port), *trickle)
                port = self._trickle.port
            program_side = self._start(
                "program", "PTY,link=%s,raw,echo=0" % self.path,
                "TCP:127.0.0.1:%s,nodelay" % port)
            self._wait_for(program_side, r"starting data transfer loop")
        except BaseException:
            self.close()
            raise

    def _start(self, name, *addresses):
        log = open(self._logs / name, "wb")
        with log:
            self._processes.append(subprocess.Popen(
                [SOCAT, "-d", "-d", *addresses], stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=log))
        return name

    def _wait_for(self, name, pattern):
        """The first group of pattern (or the match) once the named end has logged it."""
        log = self._logs / name
        while time.monotonic() < self._deadline:
            found = re.search(pattern, log.read_text())
            if found:
                return found.group(found.lastindex or 0)
            if self._processes[-1].poll() is not None:
                break
            time.sleep(0.01)
        raise RuntimeError("socat %s side did not come up:\n%s" % (name, log.read_text()))

    def close(self):
        for process in reversed(self._processes):
            process.terminate()
            process.wait(timeout=10)
        if self._trickle:
            self._trickle.close()
        shutil.rmtree(self._logs, ignore_errors=True)
