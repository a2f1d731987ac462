"""The pages the desk obeys: each opened from a one-time link, each with a session of its own.

The desk prints a link whose fragment carries a one-time code (a fragment never leaves the
browser: no server, log or Referer sees it). The page trades it once for a session token that it
keeps in its own memory and sends in a header; the code is dead from then on, so the browser's
history keeps only a dead code, and the desk prints the next link for another page or a reload.
No cookie holds anything: a browser sends cookies to every port of a host, so another server on
this machine would receive them.
"""

import hmac
import itertools
import secrets
import threading
import time
from typing import Callable, Dict, Optional

# A page that neither follows the event stream nor beats for this long is gone (closed, reloaded,
# its machine asleep): the devices it held are free again. Longer than the gap between two
# connections of a stream that the page reopens after a network hiccup.
GONE_AFTER_S = 3.0


class Page:
    """One page's session. `id` is public (shown to other pages); `token` is its secret."""

    def __init__(self, number: int, token: str):
        self.id = "page-%d" % number
        self.token = token
        self._streams = 0
        self._last_seen = time.monotonic()
        self._lock = threading.Lock()

    def seen(self) -> None:
        with self._lock:
            self._last_seen = time.monotonic()

    def stream_opened(self) -> None:
        with self._lock:
            self._streams += 1

    def stream_closed(self) -> None:
        with self._lock:
            self._streams -= 1
            self._last_seen = time.monotonic()

    @property
    def alive(self) -> bool:
        with self._lock:
            return self._streams > 0 or time.monotonic() - self._last_seen < GONE_AFTER_S


class Pages:
    """The live one-time code and the sessions it has been traded for.

    `announce` is given each new code as soon as it is live (the desk prints its link)."""

    def __init__(self, announce: Callable[[str], None]):
        self._announce = announce
        self._numbers = itertools.count(1)
        self._sessions: Dict[str, Page] = {}
        self._lock = threading.Lock()
        self._code = secrets.token_urlsafe(24)

    @property
    def code(self) -> str:
        with self._lock:
            return self._code

    def exchange(self, code: str) -> Optional[Page]:
        """A new page's session for the live code, which dies; None for any other code."""
        with self._lock:
            if not hmac.compare_digest(code.encode("utf-8", "replace"), self._code.encode()):
                return None
            self._code = secrets.token_urlsafe(24)
            page = Page(next(self._numbers), secrets.token_urlsafe(32))
            self._sessions[page.token] = page
            fresh = self._code
        self._announce(fresh)
        return page

    def find(self, token: Optional[str]) -> Optional[Page]:
        if token is None:
            return None
        given = token.encode("utf-8", "replace")
        with self._lock:
            candidates = list(self._sessions.values())
        # Compared with each in constant time, so the answer's timing tells nothing of a token.
        found = None
        for page in candidates:
            if hmac.compare_digest(given, page.token.encode()):
                found = page
        return found
