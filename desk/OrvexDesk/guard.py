"""Who may ask the desk for anything: its own page, opened from a link it printed.

A request is admitted in this order, and the first check it fails answers it:
  1. its Host is one the desk listens as (403): a name rebound to this machine is not;
  2. a browser that says where the request comes from says it comes from the desk itself or
     from the person (typed, bookmarked, opened from the terminal) (403): no other page, another
     port of this machine included, gets anything, not even the page in a popup;
  3. it carries the session token of a page (401), in the X-Desk-Token header, for everything
     but the page, its assets and the trade of a one-time code for a token;
  4. a change (POST, PUT, DELETE) names the desk as its Origin, or failing that its Referer
     (403), and is sent as application/json (415), which no form and no "no-cors" fetch of
     another site can do.
"""

import ipaddress
from email.message import Message as Headers  # what http.server parses a request's head into
from typing import Optional, Set
from urllib.parse import urlsplit

from .pages import Page, Pages
from .requests import Refused

TOKEN_HEADER = "X-Desk-Token"
CHANGES = ("POST", "PUT", "DELETE")
LOOPBACK_NAMES = ("127.0.0.1", "localhost", "[::1]")
WILDCARDS = ("0.0.0.0", "::")

# Only the desk's own files, never inside another site's frame.
SECURITY_HEADERS = {
    "Content-Security-Policy": "default-src 'self'; script-src 'self'; style-src 'self'; "
                               "img-src 'self' data:; connect-src 'self'; object-src 'none'; "
                               "base-uri 'none'; form-action 'none'; frame-ancestors 'none'",
    "X-Frame-Options": "DENY",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cross-Origin-Resource-Policy": "same-origin",
    "Cross-Origin-Opener-Policy": "same-origin",
}


def _bracketed(host: str) -> str:
    return "[%s]" % host if ":" in host else host


def _ip_literal(name: str) -> bool:
    try:
        ipaddress.ip_address(name[1:-1] if name.startswith("[") and name.endswith("]") else name)
        return True
    except ValueError:
        return False


class Guard:
    def __init__(self, listen_host: str, port: int, pages: Pages, scheme: str = "http"):
        self.pages = pages
        self.port = port
        self.scheme = scheme
        self._any_address = listen_host in WILDCARDS
        self._names: Set[str] = {name for name in LOOPBACK_NAMES}
        self._names.add(_bracketed(listen_host).lower())

    # -- 1. Host

    def host_allowed(self, host: Optional[str]) -> bool:
        """The Host a request names: the desk's address and port. On a wildcard address any
        address literal of this machine will do; a name other than localhost never does, since a
        name is what a rebinding attack controls."""
        if not host:
            return False
        parts = urlsplit("//" + host.strip().lower())
        try:
            port = parts.port if parts.port is not None else 80
        except ValueError:
            return False
        name = parts.netloc.rsplit(":", 1)[0] if parts.port is not None else parts.netloc
        if port != self.port or not name:
            return False
        return name in self._names or (self._any_address and _ip_literal(name))

    def check_host(self, headers: Headers) -> None:
        if not self.host_allowed(headers.get("Host")):
            raise Refused(403, "this desk answers only to its own address, not to %s"
                          % (headers.get("Host") or "a request without a Host")[:100])

    # -- 2. where a browser says the request comes from

    @staticmethod
    def check_fetch_site(headers: Headers) -> None:
        """Browsers tell where a request comes from: "same-origin" (the desk's page) and "none"
        (the person opened the link) only. Another site, another port of this machine included
        ("same-site"), gets nothing: not the page in a popup or a frame, not the event stream,
        not an asset. A navigation another page started says so too."""
        site = headers.get("Sec-Fetch-Site")
        if site is not None and site not in ("same-origin", "none"):
            raise Refused(403, "the desk answers only its own page, not a %s request" % site[:40])

    # -- 3. the page's session

    def check_token(self, headers: Headers) -> Page:
        page = self.pages.find(headers.get(TOKEN_HEADER))
        if page is None:
            raise Refused(401, "this desk obeys only a page opened from a link it printed;"
                          " open the newest one")
        return page

    # -- 4. changes

    def check_change(self, method: str, headers: Headers) -> None:
        if method not in CHANGES:
            return
        own = self.scheme + "://" + (headers.get("Host") or "").strip().lower()
        origin = headers.get("Origin")
        if origin is not None:
            from_desk = origin.strip().lower() == own
        else:
            referer = (headers.get("Referer") or "").strip().lower()
            from_desk = referer == own or referer.startswith(own + "/")
        if not from_desk:
            raise Refused(403, "a change must come from the desk's own page, not from %s"
                          % (origin or headers.get("Referer") or "an unnamed origin")[:100])
        kind = (headers.get("Content-Type") or "").split(";")[0].strip().lower()
        if kind != "application/json":
            raise Refused(415, "a change must be sent as application/json, not %s"
                          % (kind or "without a Content-Type"))
