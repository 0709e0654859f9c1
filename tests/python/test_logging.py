"""The bridge from the server's diagnostic events to Python's logging."""

import logging
import os
import subprocess
import sys
import threading
import time

import pytest

import rtsp
import rtsp_logging
from support import RtspClient, child_env, keyframe, start_server, wait_for


class Records(logging.Handler):
    def __init__(self):
        super().__init__(level=1)
        self.records = []

    def emit(self, record):
        self.records.append(record)

    def find(self, logger, message, peer=None):
        """Records of `logger` with `message`; with `peer`, only that connection's
        (other tests' connections may still be ending)."""
        return [r for r in self.records
                if r.name == logger and (r.msg == message or r.msg.startswith(message + " "))
                and (peer is None or peer in (r.rtsp_fields.get("peer"), r.rtsp_fields.get("peer_addr")))]


@pytest.fixture
def records():
    handler = Records()
    root = logging.getLogger("rtsp")
    root.addHandler(handler)
    root.setLevel(1)
    yield handler
    rtsp_logging.disable()
    root.removeHandler(handler)


def test_connection_session_and_failed_send_become_records(records):
    rtsp_logging.enable(logging.INFO)
    server, port = start_server()
    try:
        player = RtspClient("127.0.0.1", port)
        peer = "%s:%d" % player.control.getsockname()
        player.options()
        # RTP to port 0 is refused by the kernel, so every send fails.
        player.setup(rtp_port=0)
        player.play()
        assert server.send_frame(keyframe(1), 3000) == 1
        player.close()
        time.sleep(0.2)
    finally:
        server.stop()
        rtsp_logging.disable()  # delivers what is pending before it returns

    [connected] = records.find("rtsp.transport.tcp", "client connected", peer)
    assert connected.levelno == logging.INFO
    assert connected.getMessage() == f"client connected peer_addr={peer}"
    assert connected.rtsp_fields == {"peer_addr": peer}

    [created] = records.find("rtsp.protocol.handler", "session created via SETUP")
    assert created.rtsp_fields["session_id"] == player.session

    # The first failed datagram at once, the rest of the key frame's when the
    # session ends with the connection.
    failed = records.find("rtsp.server", "failed to send RTP packet")
    assert len(failed) == 2
    assert failed[0].levelno == logging.WARNING
    assert set(failed[0].rtsp_fields) == {"session_id", "addr", "error", "failed"}
    assert failed[0].rtsp_fields["session_id"] == player.session
    assert failed[0].rtsp_fields["addr"] == "127.0.0.1:0"
    assert failed[0].rtsp_fields["error"].startswith("I/O error: Invalid argument")
    assert failed[0].rtsp_fields["failed"] == 1
    assert failed[1].rtsp_fields["session_id"] == player.session
    packets = len(rtsp.H264Packetizer().packetize(keyframe(1), 3000))
    assert failed[1].rtsp_fields["failed"] == packets - 1

    [cleaned] = records.find("rtsp.transport.tcp", "cleaned up sessions on disconnect", peer)
    assert cleaned.rtsp_fields["removed"] == 1 and isinstance(cleaned.rtsp_fields["removed"], int)
    # Below the chosen level nothing arrives.
    assert not [r for r in records.records if r.levelno < logging.INFO]


def test_level_can_be_changed_and_disabling_stops_delivery(records):
    rtsp_logging.enable(logging.WARNING)
    rtsp.H264Packetizer()  # DEBUG "RTP header state created"
    rtsp_logging.enable(logging.DEBUG)
    rtsp.H264Packetizer()
    rtsp_logging.disable()
    rtsp.H264Packetizer()
    created = records.find("rtsp.media.rtp", "RTP header state created")
    assert len(created) == 1
    assert created[0].levelno == logging.DEBUG
    assert set(created[0].rtsp_fields) == {"pt", "ssrc"}


def thread_ids():
    """{name: id} of this process's threads."""
    ids = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as comm:
                ids[comm.read().strip()] = tid
        except FileNotFoundError:  # the thread ended meanwhile
            pass
    return ids


def delivery_thread_wakeups():
    """How often the delivery thread has gone to sleep and woken since it started."""
    with open(f"/proc/self/task/{thread_ids()['rtsp-logging']}/status") as status:
        return next(int(line.split()[1]) for line in status
                    if line.startswith("voluntary_ctxt_switches:"))


def test_delivery_thread_has_a_name_sleeps_until_events_and_trace_is_named(records):
    assert logging.getLevelName(5) == "TRACE"
    # WARNING first, so that earlier tests' servers, still winding down, are
    # not heard while the thread idles.
    rtsp_logging.enable(logging.WARNING)
    assert wait_for(lambda: "rtsp-logging" in thread_ids(), 2.0)
    # Idle, it does not wake (at most once more, to fall asleep the first time).
    before = delivery_thread_wakeups()
    time.sleep(0.5)
    assert delivery_thread_wakeups() - before <= 1
    # An event wakes it and is delivered without waiting for disable().
    rtsp_logging.enable(5)
    rtsp.H264Packetizer().packetize(b"\x00\x00\x00\x01\x65" + bytes(10), 3000)
    assert wait_for(lambda: records.find("rtsp.media.h264", "frame packetized"), 2.0)
    rtsp_logging.disable()  # joins the thread
    assert "rtsp-logging" not in thread_ids()
    [packetized] = records.find("rtsp.media.h264", "frame packetized")
    assert (packetized.levelno, packetized.levelname) == (5, "TRACE")


def test_no_deadlock_while_connections_log_and_frames_are_sent(records):
    rtsp_logging.enable(5)  # everything, TRACE included
    server, port = start_server()
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            player = RtspClient("127.0.0.1", port)
            player.start_playing()
            player.close()

    churners = [threading.Thread(target=churn) for _ in range(2)]
    for thread in churners:
        thread.start()
    sent = 0
    deadline = time.monotonic() + 2.0
    try:
        while time.monotonic() < deadline:
            server.send_frame(keyframe(2), 3000)
            sent += 1
    finally:
        stop.set()
        for thread in churners:
            thread.join(10)
        server.stop()
    assert not any(thread.is_alive() for thread in churners)
    rtsp_logging.disable()
    assert sent > 10
    assert records.find("rtsp.transport.tcp", "client connected")


def test_exit_with_logging_on_and_clients_connected_is_clean():
    code = """
import logging, socket, sys, rtsp, rtsp_logging
from support import RtspClient, keyframe, start_server
logging.basicConfig(level=logging.DEBUG, stream=sys.stdout)
rtsp_logging.enable(logging.DEBUG)
server, port = start_server()
players = [RtspClient("127.0.0.1", port) for _ in range(3)]
for p in players:
    p.start_playing()
server.send_frame(keyframe(3), 3000)
print("exiting", flush=True)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30,
                          env=child_env())
    assert done.returncode == 0, done.stderr
    assert "Fatal" not in done.stderr
    assert "exiting" in done.stdout
    # Pending events were delivered at exit.
    assert "session started playing" in done.stdout + done.stderr
