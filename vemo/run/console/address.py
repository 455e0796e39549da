"""Where a console listens: "[HOST:]PORT" as the command line takes it, and whether that is this machine only."""

from __future__ import annotations

import ipaddress
import socket


def parse_listen(text: str, default_host: str = "127.0.0.1") -> tuple[str, int]:
    """"[HOST:]PORT" as (host, port); an IPv6 host goes in brackets. Port 0 picks a free port."""
    host, separator, port_text = text.rpartition(":")
    if not separator:
        host = default_host
    elif host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not host or not port_text.isdigit() or int(port_text) > 65535:
        raise ValueError(f"{text!r} is not [HOST:]PORT (a port from 0 to 65535; 0 picks a free one)")
    return host, int(port_text)


def is_loopback(host: str) -> bool:
    """Whether every address the host name stands for is a loopback address."""
    try:
        addresses = {info[4][0] for info in socket.getaddrinfo(host, None)}
    except socket.gaierror:
        return False
    return bool(addresses) and all(ipaddress.ip_address(a.split("%")[0]).is_loopback for a in addresses)
