"""Server and Viewer through the Python API: construction, lifecycle, core
errors, argument handling. Network activity stays on loopback."""

import re
import socket
import subprocess
import sys

import pytest

import rtsp
from support import free_port, wait_for

OUT_OF_RANGE = "out of range integral type conversion attempted"


def port_is_free(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        try:
            probe.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


class TestConstruction:
    @pytest.mark.parametrize("kwargs", [
        {},
        {"public_host": None, "public_port": None},
        {"public_host": "", "public_port": 0, "session_name": ""},
        {"public_host": "cam.example", "public_port": 65535, "session_name": "Lobby"},
        {"public_port": True},
        {"bind_addr": "not an address"},
        {"bind_addr": type("Text", (str,), {})("0.0.0.0")},
        ("127.0.0.1:1", "host", 8554, "name"),
    ])
    def test_accepted_arguments_build_an_idle_server(self, kwargs):
        server = rtsp.Server(*kwargs) if isinstance(kwargs, tuple) else rtsp.Server(**kwargs)
        assert server.is_running() is False
        assert server.get_viewers() == []

    def test_construction_touches_no_network(self):
        port = free_port()
        servers = [rtsp.Server(f"127.0.0.1:{port}") for _ in range(3)]
        assert port_is_free(port)
        del servers

    def test_releasing_a_running_server_stops_it(self):
        # In a process of its own: a server left running would hold its port
        # until the process ends.
        code = r'''
import logging, sys, time, rtsp, rtsp_logging
logging.basicConfig(level=logging.INFO, stream=sys.stdout, format="%(message)s")
rtsp_logging.enable(logging.INFO)
bind = sys.argv[1]
server = rtsp.Server(bind)
server.start()
del server
released = time.monotonic()
while True:
    try:
        rtsp.Server(bind).start()  # released at once, so stopped again
        break
    except RuntimeError:
        assert time.monotonic() - released < 1.0, "the port was not freed"
        time.sleep(0.005)
print(f"port free after {time.monotonic() - released:.3f} s")
rtsp_logging.disable()
'''
        result = subprocess.run([sys.executable, "-c", code, f"127.0.0.1:{free_port()}"],
                                capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        assert result.stdout.count("server stopping") == 2, result.stdout


class TestLifecycle:
    def test_start_without_port_reports_the_bind_address(self):
        server = rtsp.Server("0.0.0.0")
        with pytest.raises(RuntimeError) as info:
            server.start()
        assert info.value.args == (
            'invalid bind address: expected host:port with explicit port, got "0.0.0.0"',)
        assert server.is_running() is False

    @pytest.mark.parametrize("bind", ["localhost:8554", "127.0.0.1", "[::1]", ""])
    def test_unparsable_bind_addresses_fail_at_start(self, bind):
        with pytest.raises(RuntimeError, match="^invalid bind address: "):
            rtsp.Server(bind).start()

    def test_start_stop_and_second_start(self, running_server):
        server, port = running_server
        assert server.is_running() is True  # the fixture's start() returned None
        with pytest.raises(RuntimeError) as info:
            server.start()
        assert info.value.args == ("server already running",)
        assert server.is_running() is True
        assert server.stop() is None
        assert server.is_running() is False
        server.stop()  # stopping twice is harmless
        assert server.is_running() is False

class TestCoreErrors:
    @pytest.mark.parametrize("call", [
        lambda s: s.send_frame(b"", 3000),
        lambda s: s.send_frame_to("/stream", b"", 3000),
        lambda s: s.send_frame_to("/nowhere", b"", 3000),
        lambda s: s.send_rtp_packet("0000000000000000", b"\x80"),
        lambda s: s.broadcast_rtp_packet(b"\x80"),
    ])
    def test_sending_before_start(self, call):
        with pytest.raises(RuntimeError) as info:
            call(rtsp.Server())
        assert type(info.value) is RuntimeError
        assert info.value.args == ("server not started",)

    @pytest.mark.parametrize("path", ["/nowhere", "/stream/", "/STREAM", "stream", ""])
    def test_send_frame_to_unknown_mount(self, running_server, path):
        server, _ = running_server
        with pytest.raises(RuntimeError) as info:
            server.send_frame_to(path, b"", 3000)
        assert info.value.args == (f"mount not found: {path}",)

    def test_send_rtp_packet_to_unknown_session(self, running_server):
        server, _ = running_server
        with pytest.raises(RuntimeError) as info:
            server.send_rtp_packet("FFFFFFFFFFFFFFFF", b"\x80\x60")
        assert info.value.args == ("session not found: FFFFFFFFFFFFFFFF",)

    def test_started_server_without_clients_counts_zero(self, running_server):
        server, _ = running_server
        frame = b"\x00\x00\x00\x01\x65" + b"\x11" * 3000
        results = [
            server.send_frame(b"", 3000),
            server.send_frame(frame, 3000),
            server.send_frame(data=frame, timestamp_increment=3000),
            server.send_frame_to("/stream", frame, 3000),
            server.send_frame_to(timestamp_increment=0, data=b"", mount_path="/stream"),
            server.broadcast_rtp_packet(b"\x80\x60"),
            server.broadcast_rtp_packet(payload=b""),
        ]
        assert results == [0] * len(results)
        assert all(type(r) is int for r in results)
        assert server.get_viewers() == []


SEND_ARGUMENT_ERRORS = [
    # Binding
    (lambda s: s.send_frame(b""), TypeError,
     "Server.send_frame() missing 1 required positional argument: 'timestamp_increment'"),
    (lambda s: s.send_frame_to(), TypeError,
     "Server.send_frame_to() missing 3 required positional arguments: "
     "'mount_path', 'data', and 'timestamp_increment'"),
    (lambda s: s.send_frame(b"", 1, 2), TypeError,
     "Server.send_frame() takes 2 positional arguments but 3 were given"),
    (lambda s: s.broadcast_rtp_packet(b"", b""), TypeError,
     "Server.broadcast_rtp_packet() takes 1 positional argument but 2 were given"),
    (lambda s: s.send_frame(b"", 1, mount="/stream"), TypeError,
     "Server.send_frame() got an unexpected keyword argument 'mount'"),
    (lambda s: s.send_rtp_packet("A", session_id="B", payload=b""), TypeError,
     "Server.send_rtp_packet() got multiple values for argument 'session_id'"),
    (lambda s: s.start(1), TypeError, "Server.start() takes 0 positional arguments but 1 was given"),
    (lambda s: s.stop(now=True), TypeError, "Server.stop() got an unexpected keyword argument 'now'"),
    (lambda s: s.is_running(None), TypeError,
     "Server.is_running() takes 0 positional arguments but 1 was given"),
    (lambda s: s.get_viewers(all=1), TypeError,
     "Server.get_viewers() got an unexpected keyword argument 'all'"),
    # Conversion
    (lambda s: s.send_frame("abc", 3000), TypeError,
     "argument 'data': 'str' object is not an instance of 'bytes'"),
    (lambda s: s.send_frame(bytearray(b"x"), 1), TypeError,
     "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
    (lambda s: s.send_frame(memoryview(b"x"), 1), TypeError,
     "argument 'data': 'memoryview' object is not an instance of 'bytes'"),
    (lambda s: s.send_frame(b"x", "1"), TypeError,
     "argument 'timestamp_increment': 'str' object cannot be interpreted as an integer"),
    (lambda s: s.send_frame(b"x", -1), OverflowError, OUT_OF_RANGE),
    (lambda s: s.send_frame(b"x", 2**32), OverflowError, OUT_OF_RANGE),
    (lambda s: s.send_frame(b"x", 2**64), OverflowError, None),
    (lambda s: s.send_frame_to(b"/stream", b"", 1), TypeError,
     "argument 'mount_path': 'bytes' object is not an instance of 'str'"),
    (lambda s: s.send_frame_to(None, b"", 1), TypeError,
     "argument 'mount_path': 'NoneType' object is not an instance of 'str'"),
    (lambda s: s.send_frame_to("/stream", b"", -5), OverflowError, OUT_OF_RANGE),
    (lambda s: s.send_rtp_packet(1, b""), TypeError,
     "argument 'session_id': 'int' object is not an instance of 'str'"),
    (lambda s: s.send_rtp_packet("A", [0x80]), TypeError,
     "argument 'payload': 'list' object is not an instance of 'bytes'"),
    (lambda s: s.broadcast_rtp_packet(bytearray(2)), TypeError,
     "argument 'payload': 'bytearray' object is not an instance of 'bytes'"),
    # Text that cannot be UTF-8 is refused as it is, not as a TypeError.
    (lambda s: s.send_frame_to("/\ud800", b"", 1), UnicodeEncodeError, None),
]


@pytest.mark.parametrize("call, error, message", SEND_ARGUMENT_ERRORS)
def test_argument_errors_come_before_core_errors(call, error, message):
    # On a server that was never started every core call would fail with
    # "server not started"; the argument error must win.
    with pytest.raises(error) as info:
        call(rtsp.Server())
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    elif error is OverflowError:
        assert str(info.value) != OUT_OF_RANGE


class BadIndex:
    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as err:
            raise TypeError("no index") from err


@pytest.mark.parametrize("kwargs, error, message", [
    ({"public_port": 70000}, OverflowError, OUT_OF_RANGE),
    ({"public_port": 65536}, OverflowError, OUT_OF_RANGE),
    ({"public_port": -1}, OverflowError, OUT_OF_RANGE),
    ({"public_port": 2**64}, OverflowError, None),
    ({"public_port": "1"}, TypeError,
     "argument 'public_port': 'str' object cannot be interpreted as an integer"),
    ({"public_port": 1.5}, TypeError,
     "argument 'public_port': 'float' object cannot be interpreted as an integer"),
    ({"public_port": BadIndex()}, TypeError, "argument 'public_port': no index"),
    ({"public_host": 1}, TypeError,
     "argument 'public_host': 'int' object is not an instance of 'str'"),
    ({"public_host": b"host"}, TypeError,
     "argument 'public_host': 'bytes' object is not an instance of 'str'"),
    # A default does not make None acceptable.
    ({"bind_addr": None}, TypeError,
     "argument 'bind_addr': 'NoneType' object is not an instance of 'str'"),
    ({"session_name": None}, TypeError,
     "argument 'session_name': 'NoneType' object is not an instance of 'str'"),
    ({"bind_addr": 8554, "public_port": -1}, TypeError,
     "argument 'bind_addr': 'int' object is not an instance of 'str'"),
    ({"port": 8554}, TypeError, "Server.__new__() got an unexpected keyword argument 'port'"),
    ({"bind_addr": "a", "public_port": 1, "session_name": "s", "extra": 1}, TypeError,
     "Server.__new__() got an unexpected keyword argument 'extra'"),
])
def test_constructor_argument_errors(kwargs, error, message):
    with pytest.raises(error) as info:
        rtsp.Server(**kwargs)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("call, message", [
    (lambda: rtsp.Server("a", "b", 1, "c", "d"),
     "Server.__new__() takes from 0 to 4 positional arguments but 5 were given"),
    (lambda: rtsp.Server("a", bind_addr="b"),
     "Server.__new__() got multiple values for argument 'bind_addr'"),
])
def test_constructor_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_constructor_type_error_keeps_cause():
    with pytest.raises(TypeError) as info:
        rtsp.Server(public_port=BadIndex())
    assert isinstance(info.value.__cause__, KeyError)


class TestViewers:
    @pytest.fixture
    def playing_client(self, running_server, clients):
        """(server, client): a client that has set up and plays /stream, with
        no OPTIONS or DESCRIBE before."""
        client = clients()
        client.setup()
        client.play()
        return running_server[0], client

    def test_viewer_record(self, playing_client):
        server, client = playing_client
        session, rtp_port = client.session, client.rtp_port
        [viewer] = server.get_viewers()
        assert type(viewer) is rtsp.Viewer
        assert viewer.session_id == session
        assert type(viewer.uri) is str and viewer.uri.endswith("/stream/track1")
        assert viewer.client_addr == f"127.0.0.1:{rtp_port}"
        assert viewer.client_rtp_port == rtp_port and type(viewer.client_rtp_port) is int
        assert repr(viewer) == (
            f"Viewer(session_id='{viewer.session_id}', uri='{viewer.uri}', "
            f"client_addr='{viewer.client_addr}', client_rtp_port={rtp_port})")
        assert re.fullmatch(r"[0-9A-F]{16}", viewer.session_id)

    def test_viewer_is_a_read_only_snapshot(self, playing_client):
        server, client = playing_client
        session, rtp_port = client.session, client.rtp_port
        [viewer] = server.get_viewers()
        for name in ("session_id", "uri", "client_addr", "client_rtp_port"):
            with pytest.raises(AttributeError):
                setattr(viewer, name, 1)
            with pytest.raises(AttributeError):
                delattr(viewer, name)
        with pytest.raises(AttributeError):
            viewer.extra = 1
        [again] = server.get_viewers()
        assert again is not viewer and again != viewer  # identity semantics
        client.control.close()
        wait_for(lambda: not server.get_viewers(), 2.0)
        assert server.get_viewers() == []
        assert viewer.session_id == session and viewer.client_rtp_port == rtp_port

    def test_packets_reach_the_viewer(self, playing_client):
        server, client = playing_client
        session = client.session
        assert server.send_frame(b"\x00\x00\x00\x01\x41" + b"\x22" * 20, 3000) == 1
        assert client.receive_one()[12:] == b"\x41" + b"\x22" * 20
        assert server.send_rtp_packet(session, b"\x80\x60hello") == 7
        assert client.receive_one() == b"\x80\x60hello"
        assert server.broadcast_rtp_packet(payload=b"\x80\x60bye") == 1
        assert client.receive_one() == b"\x80\x60bye"
