"""The examples, run for a few seconds each, with ffmpeg decoding what they serve."""

import importlib.util
import os
import pathlib
import signal
import socket
import subprocess
import sys
import time

import pytest

from support import free_port

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def load_example(name):
    """The example module `name` (examples/NAME.py), loaded from its file."""
    spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


AccessUnitSplitter = load_example("annexb").AccessUnitSplitter


def start(script, *args, preexec_fn=None):
    return subprocess.Popen([sys.executable, str(EXAMPLES / script), *args],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, preexec_fn=preexec_fn)


def stop(proc):
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGKILL)
    return proc.communicate()


def decoded_frames(url, transport, frames=30, attempts=5, errors=None, loglevel="error"):
    """Frames ffmpeg decodes from `url`; retried while the server comes up.
    The decoder's complaints of the successful attempt go to `errors`."""
    for _ in range(attempts):
        done = subprocess.run(
            ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", loglevel, "-rtsp_transport",
             transport, "-i", url, "-frames:v", str(frames), "-f", "framemd5", "-"],
            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
        count = sum(1 for line in done.stdout.splitlines() if line and not line.startswith("#"))
        if count:
            if errors is not None:
                errors.extend(done.stderr.splitlines())
            return count
        time.sleep(1)
    return 0


@pytest.fixture
def numpy_server():
    pytest.importorskip("numpy")
    pytest.importorskip("av")
    port = free_port()
    proc = start("numpy_frames.py", "--bind", f"127.0.0.1:{port}", "--seconds", "40")
    yield port
    out, err = stop(proc)
    assert "Traceback" not in err, err


def test_numpy_frames_are_served_and_decode(numpy_server):
    assert decoded_frames(f"rtsp://127.0.0.1:{numpy_server}/stream", "udp") == 30


def test_relay_serves_players_over_tcp_without_corrupting_multi_slice_pictures(numpy_server):
    pytest.importorskip("gi")
    relay_port = free_port()
    relay = start("relay.py", "--source", f"rtsp://127.0.0.1:{numpy_server}/stream",
                  "--bind", f"127.0.0.1:{relay_port}")
    try:
        # Each picture is two slices; ffmpeg reports a concealed one
        # ("corrupt decoded frame") at warning level.
        warnings = []
        assert decoded_frames(f"rtsp://127.0.0.1:{relay_port}/stream", "tcp", frames=300,
                              errors=warnings, loglevel="warning") == 300
        assert warnings == []
    finally:
        out, err = stop(relay)
    assert "Traceback" not in err, err


def test_a_new_viewer_of_numpy_frames_decodes_from_its_first_frame(numpy_server):
    url = f"rtsp://127.0.0.1:{numpy_server}/stream"
    assert decoded_frames(url, "udp", frames=5) == 5  # the server is up
    for _ in range(3):
        errors = []
        assert decoded_frames(url, "udp", frames=10, errors=errors) == 10
        assert not [e for e in errors if "reference" in e or "slice" in e], errors


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    """The same 2 s of video as Annex B files with and without access unit
    delimiters, and its frame count."""
    folder = tmp_path_factory.mktemp("clips")
    paths = {}
    for aud in (0, 1):
        paths[aud] = folder / f"aud{aud}.h264"
        subprocess.run(
            ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
             "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30", "-t", "2",
             "-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "0", "-g", "30",
             # Four slices a picture: only the first of each opens an access unit.
             "-x264-params", f"aud={aud}:repeat-headers=1:slices=4", "-f", "h264",
             str(paths[aud])], check=True, timeout=60)
    return paths, 60


def split(data, chunk):
    splitter = AccessUnitSplitter()
    units = []
    for at in range(0, len(data), chunk):
        units += splitter.feed(data[at:at + chunk])
    return units + splitter.flush()


def nal_units(unit):
    """The NAL units of an Annex B access unit, without their start codes."""
    return [nal.rstrip(b"\x00") for nal in unit.split(b"\x00\x00\x01")[1:]]


@pytest.mark.parametrize("chunk", [1, 5, 4096, 1 << 30])
def test_splitter_cuts_streams_with_and_without_delimiters_alike(clips, chunk):
    paths, frames = clips
    with_aud = split(paths[1].read_bytes(), chunk)
    without = split(paths[0].read_bytes(), chunk)
    assert len(with_aud) == len(without) == frames
    for unit, bare in zip(with_aud, without):
        delimiter, *rest = nal_units(unit)
        assert delimiter[0] & 0x1F == 9 and rest == nal_units(bare)
    assert b"".join(without) == paths[0].read_bytes()


def ignore_sigint():
    """As a non-interactive shell starts a background job."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


@pytest.mark.parametrize("script", ["push_frames.py", "server_process.py"])
def test_file_examples_serve_a_stream_without_delimiters_and_stop_on_ctrl_c(clips, script):
    paths, _ = clips
    port = free_port()
    proc = start(script, str(paths[0]), "--bind", f"127.0.0.1:{port}", preexec_fn=ignore_sigint)
    try:
        assert decoded_frames(f"rtsp://127.0.0.1:{port}/stream", "udp") == 30
        os.kill(proc.pid, signal.SIGINT)
        out, err = proc.communicate(timeout=10)
    finally:
        stop(proc)
    assert proc.returncode == 0 and "Traceback" not in err, err


# (script, arguments before --bind, needs); "{file}" is a valid clip.
SERVING_EXAMPLES = [
    ("push_frames.py", ["{file}"], ()),
    ("server_process.py", ["{file}"], ()),
    ("demo.py", ["--file", "{file}"], ()),
    ("numpy_frames.py", [], ("numpy", "av")),
]


@pytest.mark.parametrize("script, args, needs", SERVING_EXAMPLES)
def test_examples_report_a_missing_file_and_a_busy_port_in_one_line(clips, script, args, needs):
    for module in needs:
        pytest.importorskip(module)
    clip = str(clips[0][0])
    cases = [([a.format(file=clip) for a in args], "Address already in use")]
    if "{file}" in args:
        cases.append(([a.format(file="/nonexistent.h264") for a in args],
                      "cannot read /nonexistent.h264: No such file or directory"))
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        bind = f"127.0.0.1:{holder.getsockname()[1]}"
        for arguments, reason in cases:
            done = subprocess.run([sys.executable, str(EXAMPLES / script), *arguments,
                                   "--bind", bind], stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, timeout=30)
            assert done.returncode == 1
            assert done.stderr.count("\n") == 1 and reason in done.stderr, done.stderr
            assert done.stderr.startswith(script + ": "), done.stderr


def test_relay_reports_a_busy_port_in_one_line():
    pytest.importorskip("gi")
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        bind = f"127.0.0.1:{holder.getsockname()[1]}"
        done = subprocess.run([sys.executable, str(EXAMPLES / "relay.py"), "--source",
                               "rtsp://127.0.0.1:1/stream", "--bind", bind],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=30)
    assert done.returncode == 1
    assert done.stderr == f"relay.py: cannot listen on {bind}\n"
