"""Fixtures shared by the Python suites."""

import socket

import pytest

import rtsp


def free_tcp_port(host="127.0.0.1"):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


@pytest.fixture
def running_server():
    """A server started on a free loopback port, stopped afterwards.

    Yields (server, port)."""
    last_error = None
    for _ in range(20):
        port = free_tcp_port()
        server = rtsp.Server(f"127.0.0.1:{port}")
        try:
            result = server.start()
        except RuntimeError as err:  # someone took the port meanwhile
            last_error = err
            continue
        assert result is None
        try:
            yield server, port
        finally:
            server.stop()
        return
    raise last_error
