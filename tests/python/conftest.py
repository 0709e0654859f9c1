"""Fixtures shared by the Python suites."""

import pytest

from support import RtspClient, start_server


@pytest.fixture
def running_server():
    """A server started on a free loopback port, stopped afterwards.

    Yields (server, port)."""
    server, port = start_server()
    try:
        yield server, port
    finally:
        server.stop()


@pytest.fixture
def clients(running_server):
    """Opens RtspClients to running_server (`clients()` gives a new one); closes
    them afterwards."""
    opened = []

    def open_client():
        client = RtspClient("127.0.0.1", running_server[1])
        opened.append(client)
        return client

    yield open_client
    for client in opened:
        client.close()
