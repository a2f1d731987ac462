"""What the desk sent to its devices and what they answered, decoded, newest last."""

import collections
import threading
import time
from typing import Any, Deque, Dict, List

CAPACITY = 2000


class MessageLog:
    def __init__(self) -> None:
        self._entries: Deque[Dict[str, Any]] = collections.deque(maxlen=CAPACITY)
        self._next = 1
        self._lock = threading.Lock()

    def add(self, device: str, direction: str, text: str) -> None:
        """`direction` is "sent", "received" or "note" (the desk's own doings)."""
        with self._lock:
            self._entries.append({"seq": self._next, "time": time.time(), "device": device,
                                  "direction": direction, "text": text})
            self._next += 1

    def sent(self, device: str, text: str) -> None:
        self.add(device, "sent", text)

    def received(self, device: str, text: str) -> None:
        self.add(device, "received", text)

    def note(self, device: str, text: str) -> None:
        self.add(device, "note", text)

    def after(self, seq: int) -> List[Dict[str, Any]]:
        with self._lock:
            return [entry for entry in self._entries if entry["seq"] > seq]

    @property
    def last_seq(self) -> int:
        with self._lock:
            return self._next - 1
