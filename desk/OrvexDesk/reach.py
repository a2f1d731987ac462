"""Where the desk can be reached: whether an address is this machine's alone, and the address to
print in its link (a wildcard is no address a browser can open)."""

import ipaddress
import socket

from .guard import WILDCARDS


def loopback(host: str) -> bool:
    """Only programs on this machine reach the desk there."""
    if host.lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def link_host(host: str) -> str:
    """The host for the printed link: the address given, or for a wildcard one of this machine's
    own addresses that other machines can reach (an address literal, since the desk answers no
    name but localhost there)."""
    if host not in WILDCARDS:
        return "[%s]" % host if ":" in host else host
    family = socket.AF_INET6 if host == "::" else socket.AF_INET
    try:
        found = [info[4][0] for info in socket.getaddrinfo(socket.gethostname(), None, family)]
    except OSError:
        found = []
    usable = [address for address in found if not ipaddress.ip_address(address).is_loopback]
    address = (usable or ["::1" if host == "::" else "127.0.0.1"])[0]
    return "[%s]" % address if ":" in address else address
