"""Frames of the live view handed from the sampler to every connected page.

The last few frames are kept, so a page that was slow to write one catches up on the rows it
missed instead of leaving a gap in its plots.
"""

import collections
import threading
from typing import Any, Deque, Dict, List, Tuple

KEPT = 64


class Broadcast:
    def __init__(self) -> None:
        self._frames: Deque[Tuple[int, Dict[str, Any]]] = collections.deque(maxlen=KEPT)
        self._seq = 0
        self._closed = False
        self._changed = threading.Condition()

    def publish(self, frame: Dict[str, Any]) -> None:
        with self._changed:
            self._seq += 1
            self._frames.append((self._seq, frame))
            self._changed.notify_all()

    def close(self) -> None:
        with self._changed:
            self._closed = True
            self._changed.notify_all()

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def seq(self) -> int:
        with self._changed:
            return self._seq

    def wait_after(self, seq: int, timeout: float) -> List[Tuple[int, Dict[str, Any]]]:
        """The frames newer than `seq`, waiting up to `timeout` for one; none when closed."""
        with self._changed:
            self._changed.wait_for(lambda: self._seq > seq or self._closed, timeout)
            return [item for item in self._frames if item[0] > seq]
