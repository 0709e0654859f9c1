"""Frames and packets delivered over loopback to raw RTSP clients.

Each client is a plain TCP socket speaking RTSP plus a UDP socket standing in
for its RTP port; the server is driven through the Python API.
"""

import errno
import os
import socket
import threading
import time

import pytest

import rtsp
from support import (RtspClient, delta_frame, ipv6_loopback_available, keyframe, rtp_fields,
                     start_server, wait_for)


class Running:
    """A started server and its RTSP port; calls go to the server."""

    def __init__(self, server, port):
        self.server, self.port = server, port

    def __getattr__(self, name):
        return getattr(self.server, name)


@pytest.fixture
def server(running_server):
    return Running(*running_server)


def test_full_flow_delivers_a_continuous_stream(server, clients):
    player = clients()
    play = player.start_playing()
    rtp_info = dict(item.split("=", 1) for item in play["rtp-info"].split(";"))

    frames = [keyframe(1), delta_frame(2), delta_frame(3, 1500), keyframe(4), delta_frame(5)]
    increment = 3000
    for frame in frames:
        assert server.send_frame(frame, increment) == 1
    packets = player.receive()

    reference = rtsp.H264Packetizer()
    expected = [reference.packetize(frame, increment) for frame in frames]
    assert len(packets) == sum(len(frame_packets) for frame_packets in expected)

    fields = [rtp_fields(p) for p in packets]
    assert {f["ssrc"] for f in fields} == {fields[0]["ssrc"]}
    assert {(f["version"], f["pt"]) for f in fields} == {(2, 96)}
    assert fields[0]["seq"] == int(rtp_info["seq"])
    assert fields[0]["ts"] == int(rtp_info["rtptime"])
    for before, after in zip(fields, fields[1:]):
        assert after["seq"] == (before["seq"] + 1) % 65536

    index = 0
    for number, frame_packets in enumerate(expected):
        got = packets[index:index + len(frame_packets)]
        index += len(frame_packets)
        assert [rtp_fields(p)["marker"] for p in got] == [False] * (len(got) - 1) + [True]
        assert {rtp_fields(p)["ts"] for p in got} == {(fields[0]["ts"] + number * increment) % 2**32}
        # Identical to a standalone packetizer apart from sequence, timestamp and SSRC.
        assert [p[:2] + p[12:] for p in got] == [p[:2] + p[12:] for p in frame_packets]


def test_only_playing_clients_are_served_and_listed(server, clients):
    playing, paused, ready = clients(), clients(), clients()
    playing.start_playing()
    paused.start_playing()
    paused.pause()
    ready.setup()

    assert server.send_frame(keyframe(9), 3000) == 1
    assert playing.receive()
    assert paused.receive(0.1) == []
    assert ready.receive(0.1) == []

    viewers = server.get_viewers()
    assert len(viewers) == 1
    viewer = viewers[0]
    assert viewer.session_id == playing.session
    assert viewer.uri == playing.url + "/track1"
    assert viewer.client_addr == f"127.0.0.1:{playing.rtp_port}"
    assert viewer.client_rtp_port == playing.rtp_port
    assert repr(viewer) == (
        f"Viewer(session_id='{playing.session}', uri='{playing.url}/track1', "
        f"client_addr='127.0.0.1:{playing.rtp_port}', client_rtp_port={playing.rtp_port})")


def test_rtp_packets_to_one_session_and_to_all(server, clients):
    first, second, ready = clients(), clients(), clients()
    first.start_playing()
    second.start_playing()
    ready.setup()
    payload = b"\x80\xe0\x12\x34" + bytes(8) + b"caller-built"

    assert server.send_rtp_packet(first.session, payload) == len(payload)
    assert first.receive() == [payload]
    assert second.receive(0.1) == []

    assert server.broadcast_rtp_packet(payload) == 2
    assert first.receive() == [payload]
    assert second.receive() == [payload]
    assert ready.receive(0.1) == []

    with pytest.raises(RuntimeError) as err:
        server.send_rtp_packet(ready.session, payload)
    assert err.value.args == (f"session not in playing state: {ready.session}",)
    with pytest.raises(RuntimeError) as err:
        server.send_rtp_packet("0123456789ABCDEF", payload)
    assert err.value.args == ("session not found: 0123456789ABCDEF",)


@pytest.mark.parametrize("call", [
    lambda s: s.send_frame(b"", 3000),
    lambda s: s.send_frame_to("/stream", keyframe(1), 3000),
    lambda s: s.send_frame_to("/elsewhere", keyframe(1), 3000),
    lambda s: s.send_rtp_packet("0000000000000000", b"\x80" * 12),
    lambda s: s.broadcast_rtp_packet(b"\x80" * 12),
], ids=["send_frame", "send_frame_to", "send_frame_to unknown mount", "send_rtp_packet",
        "broadcast_rtp_packet"])
def test_sending_before_start_fails(call):
    server = rtsp.Server("127.0.0.1:1")
    with pytest.raises(RuntimeError) as err:
        call(server)
    assert err.value.args == ("server not started",)
    assert server.get_viewers() == []


@pytest.mark.parametrize("path", ["/stream/", "/Stream", "", "stream", "/stream/track1"])
def test_send_frame_to_needs_the_exact_mount_path(server, path):
    with pytest.raises(RuntimeError) as err:
        server.send_frame_to(path, keyframe(1), 3000)
    assert err.value.args == (f"mount not found: {path}",)
    assert server.send_frame_to("/stream", keyframe(1), 3000) == 0


def wait_until_other_threads_block(timeout=5.0):
    """Wait until every other thread of this process is asleep (state S in
    /proc/self/task/TID/stat). A connection thread sends its answers without
    blocking, so once asleep it is waiting for its next request, as the
    listener waits in its poll. Returns False on timeout."""
    me = str(threading.get_native_id())
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        busy = False
        for tid in os.listdir("/proc/self/task"):
            if tid == me:
                continue
            try:
                with open(f"/proc/self/task/{tid}/stat") as f:
                    # "TID (NAME) STATE ...": the name may hold spaces and parentheses.
                    state = f.read().rpartition(")")[2].split()[0]
            except OSError:
                continue  # the thread ended meanwhile
            if state != "S":
                busy = True
                break
        if not busy:
            return True
        time.sleep(0.005)
    return False


def test_stopped_server_still_delivers_to_remaining_sessions(server, clients):
    player = clients()
    player.start_playing()
    # A connection that answered just before stop() leaves at its next turn;
    # this one is back in its read, where it stays.
    assert wait_until_other_threads_block()
    server.stop()
    assert not server.is_running()
    assert server.send_frame(keyframe(3), 3000) == 1
    assert player.receive()
    assert server.broadcast_rtp_packet(b"\x80" * 12) == 1


def test_closed_and_torn_down_clients_stop_being_viewers(server, clients):
    leaving, tearing_down, staying = clients(), clients(), clients()
    for player in (leaving, tearing_down, staying):
        player.start_playing()
    assert len(server.get_viewers()) == 3

    tearing_down.teardown()
    assert {v.session_id for v in server.get_viewers()} == {leaving.session, staying.session}

    leaving.control.close()
    assert wait_for(lambda: [v.session_id for v in server.get_viewers()] == [staying.session], 3.0)
    assert server.send_frame(delta_frame(1), 3000) == 1
    assert staying.receive()
    assert leaving.receive(0.1) == []


def test_ipv6_client_receives_rtp():
    if not ipv6_loopback_available():
        pytest.skip("no IPv6 loopback on this host")
    server, port = start_server("::1", socket.AF_INET6)
    player = RtspClient("::1", port, socket.AF_INET6)
    try:
        player.start_playing()
        assert server.send_frame(keyframe(6), 3000) == 1
        packets = player.receive()
        assert len(packets) == len(rtsp.H264Packetizer().packetize(keyframe(6), 3000))
        assert server.broadcast_rtp_packet(b"\x80" * 12) == 1
        assert server.send_rtp_packet(player.session, b"\x81" * 12) == 12
        assert player.receive() == [b"\x80" * 12, b"\x81" * 12]
        (viewer,) = server.get_viewers()
        assert viewer.client_addr == f"[::1]:{player.rtp_port}"
    finally:
        player.close()
        server.stop()


def test_failed_send_to_a_session_is_an_io_error(server, clients):
    player = clients()
    # Port 0 is a destination the kernel refuses to send to.
    player.setup(rtp_port=0)
    player.play()
    with pytest.raises(RuntimeError) as err:
        server.send_rtp_packet(player.session, b"\x80" * 12)
    assert err.value.args[0].startswith("I/O error: ")
    assert f"(os error {errno.EINVAL})" in err.value.args[0]
    # The multi-session calls carry on: counted by frames, not by broadcast.
    assert server.send_frame(keyframe(2), 3000) == 1
    assert server.broadcast_rtp_packet(b"\x80" * 12) == 0
