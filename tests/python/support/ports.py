"""Free loopback ports, and servers started on them."""

import socket

import rtsp


def loopback(family):
    """The loopback address of an address family."""
    return "::1" if family == socket.AF_INET6 else "127.0.0.1"


def family_of(host):
    """The address family of a numeric host address."""
    return socket.AF_INET6 if ":" in host else socket.AF_INET


def free_port(family=socket.AF_INET, host=None):
    """A TCP port free on `host` (the family's loopback by default) a moment
    ago. Someone else may take it before it is used: retry on failure, as
    start_server does."""
    with socket.socket(family, socket.SOCK_STREAM) as probe:
        probe.bind((host or loopback(family), 0))
        return probe.getsockname()[1]


def ipv6_loopback_available():
    """Whether this host can bind ::1."""
    if not socket.has_ipv6:
        return False
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


def start_server(host="127.0.0.1", family=None):
    """An rtsp.Server started on a free port of `host`; returns (server, port).
    The caller stops it. Checks that start() returns None."""
    family = family or family_of(host)
    last = None
    for _ in range(20):
        port = free_port(family, host)
        bind = f"[{host}]:{port}" if family == socket.AF_INET6 else f"{host}:{port}"
        server = rtsp.Server(bind)
        try:
            result = server.start()
        except RuntimeError as err:  # lost the port to someone else
            last = err
            continue
        assert result is None
        return server, port
    raise last
