"""What the Python suites share: an RTSP test client, free loopback ports and
servers started on them, the frames they send, what a process holds, and
waiting for a condition.

tests/python is on sys.path for every suite (pyproject.toml sets pytest's
pythonpath), so a suite writes `from support import ...`; a child Python
that needs it gets `child_env()` as its environment."""

import os

from support.media import delta_frame, keyframe, rtp_fields
from support.ports import free_port, ipv6_loopback_available, start_server
from support.process import descriptors, rss_kib, threads
from support.rtsp_client import TIMEOUT, Response, RtspClient
from support.waiting import wait_for

__all__ = [
    "TIMEOUT", "Response", "RtspClient", "child_env", "delta_frame", "descriptors", "free_port",
    "ipv6_loopback_available", "keyframe", "rss_kib", "rtp_fields", "start_server", "threads",
    "wait_for",
]

SUITES_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def child_env():
    """This process's environment with tests/python first on PYTHONPATH, for
    a child Python that imports support."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [SUITES_DIR] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return env
