"""Frames and packets delivered over loopback to raw RTSP clients.

Each client is a plain TCP socket speaking RTSP plus a UDP socket standing in
for its RTP port; the server is driven through the Python API.
"""

import errno
import os
import socket
import struct
import threading
import time

import pytest

import rtsp

TIMEOUT = 2.0


def free_port(family=socket.AF_INET, host="127.0.0.1"):
    with socket.socket(family, socket.SOCK_STREAM) as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


def start_server(host="127.0.0.1", family=socket.AF_INET):
    """A started server on a free loopback port; returns (server, port)."""
    last = None
    for _ in range(20):
        port = free_port(family, host)
        bind = f"[{host}]:{port}" if family == socket.AF_INET6 else f"{host}:{port}"
        server = rtsp.Server(bind)
        try:
            server.start()
            return server, port
        except RuntimeError as err:  # lost the port to someone else
            last = err
    raise last


def ipv6_loopback_available():
    if not socket.has_ipv6:
        return False
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


class Player:
    """A minimal RTSP client with its own RTP receive socket."""

    def __init__(self, host, port, family=socket.AF_INET):
        self.url = f"rtsp://{'[' + host + ']' if family == socket.AF_INET6 else host}:{port}/stream"
        self.control = socket.create_connection((host, port), timeout=TIMEOUT)
        self.rtp = socket.socket(family, socket.SOCK_DGRAM)
        self.rtp.bind((host, 0))
        self.rtp.settimeout(TIMEOUT)
        self.rtp_port = self.rtp.getsockname()[1]
        self.cseq = 0
        self.session = None
        self.buffer = b""

    def request(self, method, uri=None, headers=()):
        self.cseq += 1
        lines = [f"{method} {uri or self.url} RTSP/1.0", f"CSeq: {self.cseq}"]
        if self.session:
            lines.append(f"Session: {self.session}")
        lines.extend(headers)
        self.control.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        return self._response()

    def _response(self):
        while b"\r\n\r\n" not in self.buffer:
            chunk = self.control.recv(4096)
            assert chunk, "server closed the connection"
            self.buffer += chunk
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        status_line, *header_lines = head.decode().split("\r\n")
        headers = {}
        for line in header_lines:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        length = int(headers.get("content-length", "0"))
        while len(self.buffer) < length:
            self.buffer += self.control.recv(4096)
        body, self.buffer = self.buffer[:length], self.buffer[length:]
        return int(status_line.split()[1]), headers, body.decode()

    def setup(self):
        status, headers, _ = self.request(
            "SETUP", self.url + "/track1",
            [f"Transport: RTP/AVP;unicast;client_port={self.rtp_port}-{self.rtp_port + 1}"])
        assert status == 200
        self.session = headers["session"].split(";")[0]
        return headers

    def play(self):
        status, headers, _ = self.request("PLAY")
        assert status == 200
        return headers

    def start_playing(self):
        assert self.request("OPTIONS")[0] == 200
        status, _, sdp = self.request("DESCRIBE", headers=["Accept: application/sdp"])
        assert status == 200 and "m=video" in sdp
        self.setup()
        return self.play()

    def receive(self, timeout=0.3):
        """Every datagram until the socket has been quiet for `timeout`."""
        packets = []
        self.rtp.settimeout(timeout)
        try:
            while True:
                packets.append(self.rtp.recv(65536))
        except (socket.timeout, BlockingIOError):
            pass
        return packets

    def close(self):
        self.control.close()
        self.rtp.close()


def rtp_fields(packet):
    first, second, seq, ts, ssrc = struct.unpack("!BBHII", packet[:12])
    return {"version": first >> 6, "marker": bool(second & 0x80), "pt": second & 0x7F,
            "seq": seq, "ts": ts, "ssrc": ssrc}


def keyframe(fill):
    return (b"\x00\x00\x00\x01\x09\xf0"
            b"\x00\x00\x00\x01\x67\x42\xc0\x1f\xda\x01"
            b"\x00\x00\x00\x01\x68\xce\x3c\x80"
            b"\x00\x00\x01\x65" + bytes([fill]) * 3000)


def delta_frame(fill, size=200):
    return b"\x00\x00\x00\x01\x09\x30\x00\x00\x01\x41" + bytes([fill]) * size


class Running:
    """A started server and its RTSP port; calls go to the server."""

    def __init__(self, server, port):
        self.server, self.port = server, port

    def __getattr__(self, name):
        return getattr(self.server, name)


@pytest.fixture
def server():
    server, port = start_server()
    yield Running(server, port)
    server.stop()


@pytest.fixture
def players(server):
    opened = []

    def open_player():
        player = Player("127.0.0.1", server.port)
        opened.append(player)
        return player

    yield open_player
    for player in opened:
        player.close()


def test_full_flow_delivers_a_continuous_stream(server, players):
    player = players()
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


def test_only_playing_clients_are_served_and_listed(server, players):
    playing, paused, ready = players(), players(), players()
    playing.start_playing()
    paused.start_playing()
    assert paused.request("PAUSE")[0] == 200
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


def test_rtp_packets_to_one_session_and_to_all(server, players):
    first, second, ready = players(), players(), players()
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


def test_stopped_server_still_delivers_to_remaining_sessions(server, players):
    player = players()
    player.start_playing()
    # A connection that answered just before stop() leaves at its next turn;
    # this one is back in its read, where it stays.
    assert wait_until_other_threads_block()
    server.stop()
    assert not server.is_running()
    assert server.send_frame(keyframe(3), 3000) == 1
    assert player.receive()
    assert server.broadcast_rtp_packet(b"\x80" * 12) == 1


def wait_for(predicate, timeout=3.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def test_closed_and_torn_down_clients_stop_being_viewers(server, players):
    leaving, tearing_down, staying = players(), players(), players()
    for player in (leaving, tearing_down, staying):
        player.start_playing()
    assert len(server.get_viewers()) == 3

    assert tearing_down.request("TEARDOWN")[0] == 200
    assert {v.session_id for v in server.get_viewers()} == {leaving.session, staying.session}

    leaving.control.close()
    assert wait_for(lambda: [v.session_id for v in server.get_viewers()] == [staying.session])
    assert server.send_frame(delta_frame(1), 3000) == 1
    assert staying.receive()
    assert leaving.receive(0.1) == []


def test_ipv6_client_receives_rtp():
    if not ipv6_loopback_available():
        pytest.skip("no IPv6 loopback on this host")
    server, port = start_server("::1", socket.AF_INET6)
    player = Player("::1", port, socket.AF_INET6)
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


def test_failed_send_to_a_session_is_an_io_error(server, players):
    player = players()
    # Port 0 is a destination the kernel refuses to send to.
    player.rtp_port = 0
    player.setup()
    player.play()
    with pytest.raises(RuntimeError) as err:
        server.send_rtp_packet(player.session, b"\x80" * 12)
    assert err.value.args[0].startswith("I/O error: ")
    assert f"(os error {errno.EINVAL})" in err.value.args[0]
    # The multi-session calls carry on: counted by frames, not by broadcast.
    assert server.send_frame(keyframe(2), 3000) == 1
    assert server.broadcast_rtp_packet(b"\x80" * 12) == 0
