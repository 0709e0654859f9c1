"""The examples, run for a few seconds each, with ffmpeg decoding what they serve."""

import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

from conftest import free_tcp_port

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def start(script, *args):
    return subprocess.Popen([sys.executable, str(EXAMPLES / script), *args],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def stop(proc):
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGKILL)
    return proc.communicate()


def decoded_frames(url, transport, frames=30, attempts=5):
    """Frames ffmpeg decodes from `url`; retried while the server comes up."""
    for _ in range(attempts):
        done = subprocess.run(
            ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-rtsp_transport",
             transport, "-i", url, "-frames:v", str(frames), "-f", "framemd5", "-"],
            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
        count = sum(1 for line in done.stdout.splitlines() if line and not line.startswith("#"))
        if count:
            return count
        time.sleep(1)
    return 0


@pytest.fixture
def numpy_server():
    pytest.importorskip("numpy")
    pytest.importorskip("av")
    port = free_tcp_port()
    proc = start("numpy_frames.py", "--bind", f"127.0.0.1:{port}", "--seconds", "40")
    yield port
    out, err = stop(proc)
    assert "Traceback" not in err, err


def test_numpy_frames_are_served_and_decode(numpy_server):
    assert decoded_frames(f"rtsp://127.0.0.1:{numpy_server}/stream", "udp") == 30


def test_relay_serves_players_over_tcp(numpy_server):
    pytest.importorskip("gi")
    relay_port = free_tcp_port()
    relay = start("relay.py", "--source", f"rtsp://127.0.0.1:{numpy_server}/stream",
                  "--port", str(relay_port), "--bind", "127.0.0.1")
    try:
        assert decoded_frames(f"rtsp://127.0.0.1:{relay_port}/stream", "tcp") == 30
    finally:
        out, err = stop(relay)
    assert "Traceback" not in err, err
