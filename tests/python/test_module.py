"""The module's surface: names, docstrings, signatures, type identity."""

import os
import pickle
import subprocess
import sys

import pytest

import rtsp

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


MODULE_FUNCTIONS = {"enable_logging", "disable_logging"}


def test_module_holds_the_three_classes_and_its_version():
    assert public_names(rtsp) == {"Server", "H264Packetizer", "Viewer"} | MODULE_FUNCTIONS
    classes = [name for name in vars(rtsp) if isinstance(getattr(rtsp, name), type)]
    assert classes == ["Server", "H264Packetizer", "Viewer"]
    assert set(vars(rtsp)) == (MODULE_DUNDERS | {"__version__", "Server", "H264Packetizer", "Viewer"}
                               | MODULE_FUNCTIONS)
    assert rtsp.__doc__ == ""


def test_version_is_the_projects():
    meson_build = os.path.join(os.path.dirname(__file__), "..", "..", "meson.build")
    with open(meson_build, encoding="utf-8") as f:
        project = f.read().split(")", 1)[0]
    assert f"version : '{rtsp.__version__}'" in project


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
