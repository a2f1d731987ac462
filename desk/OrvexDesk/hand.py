"""The emulator's hand on its Corvane, under --emulate: the page drags the arm by moving the
hand's target, and lets go. The hand's force moves the emulated arm beside the loop's and never
reaches the line, so the loop renders what it would for a person's hand. Moving the hand moves the
arm, so only the page that holds the hand's Corvane moves it, as only it changes that Corvane.

    POST /api/hand  {"move_to": [x, y, z]} or {"release": true}  ->  the arm's ground truth
    GET  /api/hand                                                 ->  {"available": true|false}
"""

import json
import socket
import threading
from typing import Any, Dict, Optional, Tuple

from . import requests
from .requests import Refused

REACH_M = 0.2  # a target a little beyond the workspace's end stops, which hold the arm


class EmulatedHand:
    """The emulator's control socket, one request at a time from whichever thread asks."""

    def __init__(self, path: str, port: str):
        self.port = port  # the Corvane the hand holds
        self._lock = threading.Lock()
        self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._socket.settimeout(2.0)
        self._socket.connect(path)
        self._file = self._socket.makefile("rw", encoding="utf-8", newline="\n")

    def ask(self, request: Dict[str, Any]) -> Dict[str, Any]:
        with self._lock:
            try:
                self._file.write(json.dumps(request) + "\n")
                self._file.flush()
                reply = json.loads(self._file.readline() or "{}")
            except (OSError, ValueError) as error:
                raise Refused(503, "the emulator's hand does not answer: %s" % error)
        if "error" in reply or "position" not in reply:
            raise Refused(400, "the hand refused: %s" % reply.get("error", "no reply"))
        return reply

    def close(self) -> None:
        self._file.close()
        self._socket.close()


def hand_of(handler: Any) -> Optional[EmulatedHand]:
    return getattr(handler.server, "hand", None)


def available(handler: Any, _: Dict[str, Any], __: Optional[str]) -> Tuple[int, Any]:
    return 200, {"available": hand_of(handler) is not None}


def move(handler: Any, body: Dict[str, Any], _: Optional[str]) -> Tuple[int, Any]:
    hand = hand_of(handler)
    if hand is None:
        raise Refused(404, "no hand here: the desk was not started with --emulate")
    requests.fields(body, ["move_to", "release"], "a hand request")
    held = handler.server.desk.name_at(hand.port)
    if held is None:
        raise Refused(409, "the hand's Corvane (%s) is not open on the desk" % hand.port)
    handler.server.desk.written(held, handler.page)
    if "move_to" in body:
        return 200, hand.ask({"move_to": requests.vector(body["move_to"], "move_to", -REACH_M,
                                                         REACH_M)})
    if "release" in body and requests.flag(body["release"], "release"):
        return 200, hand.ask({"release": True})
    raise Refused(400, "a hand request holds move_to or release: true")
