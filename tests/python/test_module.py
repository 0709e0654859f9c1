"""The module's surface: names, docstrings, signatures, type identity."""

import importlib.metadata
import importlib.util
import os
import pickle
import subprocess
import sys

import pytest

import rtsp
import rtsp_logging

MODULE_DUNDERS = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}

SERVER_METHODS = {
    "start": ("($self)", None),
    "stop": ("($self)", None),
    "is_running": ("($self)", None),
    "send_frame": (
        "($self, data, timestamp_increment)",
        "Send a raw encoded frame to the default mount (`/stream`).\n"
        "Handles packetization and delivery internally.",
    ),
    "send_frame_to": (
        "($self, mount_path, data, timestamp_increment)",
        "Send a raw encoded frame to a specific mount.",
    ),
    "send_rtp_packet": (
        "($self, session_id, payload)",
        "Send a pre-packetized RTP packet to a specific session.",
    ),
    "broadcast_rtp_packet": (
        "($self, payload)",
        "Broadcast a pre-packetized RTP packet to all playing sessions\non the default mount.",
    ),
    "get_viewers": ("($self)", None),
}

PACKETIZER_METHODS = {
    "packetize": ("($self, frame_data, timestamp_increment)", None),
}


def public_names(obj):
    return {name for name in dir(obj) if not name.startswith("_")}


def test_module_holds_the_three_classes_and_nothing_else():
    assert [name for name in vars(rtsp) if not name.startswith("__")] == [
        "Server", "H264Packetizer", "Viewer"]
    assert set(vars(rtsp)) == MODULE_DUNDERS | {"Server", "H264Packetizer", "Viewer"}
    assert rtsp.__doc__ == ""


def test_installed_version_is_the_projects():
    try:
        version = importlib.metadata.version("rtsp")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("not installed from a wheel here (scripts/wheel-test installs one)")
    meson_build = os.path.join(os.path.dirname(__file__), "..", "..", "meson.build")
    with open(meson_build, encoding="utf-8") as f:
        project = f.read().split(")", 1)[0]
    assert f"version : '{version}'" in project


@pytest.mark.parametrize("module, symbols", [
    (rtsp, ["PyInit_rtsp"]),
    (rtsp_logging, ["PyInit_rtsp_logging"]),
])
def test_extension_exports_its_init_function_only(module, symbols):
    listed = subprocess.run(["nm", "-D", "--defined-only", module.__file__],
                            capture_output=True, text=True, timeout=60, check=True)
    assert [line.split()[-1] for line in listed.stdout.splitlines()] == symbols


# A raw client that sets up and plays /stream on a new server of `module`. It
# runs in a sub-interpreter too, where neither pytest nor the helpers are loaded.
WATCH = r'''
import socket

def watch(module):
    for _ in range(20):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        server = module.Server(f"127.0.0.1:{port}")
        try:
            server.start()
            break
        except RuntimeError:  # lost the port to someone else
            continue
    conn = socket.create_connection(("127.0.0.1", port), timeout=5)

    def ask(*lines):
        conn.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        reply = b""
        while b"\r\n\r\n" not in reply:
            reply += conn.recv(4096)
        return reply.decode()

    url = f"rtsp://127.0.0.1:{port}/stream"
    reply = ask(f"SETUP {url}/track1 RTSP/1.0", "CSeq: 1",
                "Transport: RTP/AVP;unicast;client_port=9-10")
    session = reply.split("Session: ", 1)[1].split(";", 1)[0].split("\r", 1)[0]
    ask(f"PLAY {url} RTSP/1.0", "CSeq: 2", f"Session: {session}")
    return server, conn

def viewer_types(server):
    return [type(viewer) for viewer in server.get_viewers()]
'''

IN_A_SUB_INTERPRETER = WATCH + '''
import rtsp
server, conn = watch(rtsp)
assert viewer_types(server) == [rtsp.Viewer]
conn.close()
server.stop()
'''


# The private sub-interpreter module: renamed in 3.13, whose interpreters get
# their own GIL unless created with the "legacy" configuration.
SUB_INTERPRETERS = next(
    ((name, create) for name, create in [("_interpreters", 'create("legacy")'),
                                         ("_xxsubinterpreters", "create()")]
     if importlib.util.find_spec(name) is not None), None)


@pytest.mark.skipif(SUB_INTERPRETERS is None, reason="no sub-interpreter module")
def test_viewers_are_of_the_servers_module_after_a_reimport_and_in_a_sub_interpreter():
    module, create = SUB_INTERPRETERS
    code = WATCH + f'''
import sys, {module} as interpreters
import rtsp as first
old_server, old_conn = watch(first)
del sys.modules["rtsp"]
import rtsp as second
assert second.Viewer is not first.Viewer
new_server, new_conn = watch(second)
assert viewer_types(new_server) == [second.Viewer]
assert viewer_types(old_server) == [first.Viewer]

interp = interpreters.{create}
failure = interpreters.run_string(interp, {IN_A_SUB_INTERPRETER!r})
assert failure is None, failure
interpreters.destroy(interp)
assert viewer_types(new_server) == [second.Viewer]
assert viewer_types(old_server) == [first.Viewer]
print("ok")
'''
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


@pytest.mark.parametrize(
    "cls, name, signature",
    [
        (rtsp.Server, "Server",
         '(bind_addr="0.0.0.0:8554", public_host=None, public_port=None, session_name="Stream")'),
        (rtsp.H264Packetizer, "H264Packetizer", "(pt=96)"),
        (rtsp.Viewer, "Viewer", None),
    ],
)
def test_class_identity(cls, name, signature):
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "rtsp"
    assert cls.__bases__ == (object,)
    assert cls.__doc__ == ""
    assert cls.__text_signature__ == signature
    assert repr(cls) == f"<class 'rtsp.{name}'>"


@pytest.mark.parametrize(
    "cls, methods",
    [(rtsp.Server, SERVER_METHODS), (rtsp.H264Packetizer, PACKETIZER_METHODS)],
)
def test_methods_carry_their_signatures_and_docs(cls, methods):
    assert public_names(cls) == set(methods)
    for name, (signature, doc) in methods.items():
        method = getattr(cls, name)
        assert method.__text_signature__ == signature, name
        assert method.__doc__ == doc, name


def test_viewer_surface_is_four_read_only_fields():
    assert public_names(rtsp.Viewer) == {"session_id", "uri", "client_addr", "client_rtp_port"}


def test_viewer_cannot_be_instantiated():
    with pytest.raises(TypeError, match="cannot create 'Viewer' instances"):
        rtsp.Viewer()


@pytest.mark.parametrize("factory", [rtsp.Server, rtsp.H264Packetizer])
def test_instances_expose_no_state(factory):
    obj = factory()
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError, match=f"cannot pickle '{type(obj).__name__}' object"):
        pickle.dumps(obj)


def test_methods_refuse_a_foreign_receiver():
    with pytest.raises(TypeError):
        rtsp.Server.start(rtsp.H264Packetizer())
    with pytest.raises(TypeError):
        rtsp.H264Packetizer.packetize(rtsp.Server(), b"", 0)


@pytest.mark.parametrize(
    "code",
    [
        "import rtsp",
        # A second import of a fresh module gives working, distinct classes.
        "import sys, rtsp; old = rtsp.Server(); del sys.modules['rtsp']; import rtsp as new;"
        " assert new.Server is not type(old); assert old.get_viewers() == [];"
        " assert new.Server().get_viewers() == []",
    ],
)
def test_import_is_warning_free(code):
    result = subprocess.run(
        [sys.executable, "-W", "error", "-X", "dev", "-c", code],
        capture_output=True, text=True, timeout=60, env=dict(os.environ),
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
