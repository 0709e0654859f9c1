"""Fixtures shared by the Python suites."""

import os
import socket
import threading
import time

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


def wait_until_other_threads_block(timeout=5.0):
    """Wait until every other thread of this process sits in a system call
    other than a send, as a connection thread does once it is back in its
    read after answering. Returns False on timeout."""
    sends = {"1", "44", "46", "307"}  # write, sendto, sendmsg, sendmmsg (x86_64)
    me = str(threading.get_native_id())
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        busy = False
        for tid in os.listdir("/proc/self/task"):
            if tid == me:
                continue
            try:
                with open(f"/proc/self/task/{tid}/syscall") as f:
                    call = f.read().split()[0]
            except OSError:
                continue  # the thread ended meanwhile
            if call in ("running", "-1") or call in sends:
                busy = True
                break
        if not busy:
            return True
        time.sleep(0.005)
    return False
