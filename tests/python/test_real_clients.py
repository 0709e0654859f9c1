"""Real players against a server fed with encoded test video over loopback.

ffmpeg, GStreamer, mpv and OpenCV receive RTP over UDP and decode it; what
ffmpeg, mpv and OpenCV decode must be bit-exact with a local decode of the same
file. A player that insists on RTP interleaved over TCP is refused with 461,
creates no session, and the others keep playing.
Every player runs as a subprocess with a deadline and is killed by its PID.
"""

import logging
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

import rtsp_logging
from support import start_server

FPS = 30
INCREMENT = 90000 // FPS
GOP = 30
CLIENT_TIMEOUT = 20.0

pytestmark = pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="ffmpeg not installed")


def split_access_units(data):
    """Annex B byte stream into access units, cut at each access unit delimiter."""
    starts = []
    pos = data.find(b"\x00\x00\x01")
    while pos != -1:
        if pos + 3 < len(data) and data[pos + 3] & 0x1F == 9:
            starts.append(pos - 1 if pos > 0 and data[pos - 1] == 0 else pos)
        pos = data.find(b"\x00\x00\x01", pos + 3)
    return [data[a:b] for a, b in zip(starts, starts[1:] + [len(data)])]


def nal_types(access_unit):
    types = []
    pos = access_unit.find(b"\x00\x00\x01")
    while pos != -1 and pos + 3 < len(access_unit):
        types.append(access_unit[pos + 3] & 0x1F)
        pos = access_unit.find(b"\x00\x00\x01", pos + 3)
    return types


def framemd5_hashes(text):
    """The per-frame MD5 column of framemd5 output, in frame order."""
    return [line.rsplit(",", 1)[1].strip()
            for line in text.splitlines() if line and not line.startswith("#")]


def kill(proc):
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGKILL)
    proc.wait()


def run_clients(commands, env=None):
    """Runs the commands side by side; returns [(returncode, stdout, stderr)]."""
    procs = []
    try:
        for command in commands:
            procs.append(subprocess.Popen(command, stdin=subprocess.DEVNULL, env=env,
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE))
        deadline = time.monotonic() + CLIENT_TIMEOUT
        results = []
        for proc in procs:
            try:
                out, err = proc.communicate(timeout=max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                kill(proc)
                out, err = proc.communicate()
            results.append((proc.returncode, out.decode(errors="replace"),
                            err.decode(errors="replace")))
        return results
    finally:
        for proc in procs:
            kill(proc)


@pytest.fixture(scope="session")
def video(tmp_path_factory):
    """A 3 s test video: its access units, which are keyframes, local frame hashes."""
    folder = tmp_path_factory.mktemp("video")
    path = folder / "test.h264"
    subprocess.run(
        ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
         "-f", "lavfi", "-i", f"testsrc2=size=320x240:rate={FPS}", "-t", "3",
         "-pix_fmt", "yuv420p", "-c:v", "libx264", "-profile:v", "baseline",
         "-preset", "veryfast", "-g", str(GOP), "-keyint_min", str(GOP), "-sc_threshold", "0",
         "-bf", "0", "-x264-params", "aud=1:repeat-headers=1", "-f", "h264", str(path)],
        check=True, timeout=60)
    local = subprocess.run(
        ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-i", str(path),
         "-fps_mode", "passthrough", "-f", "framemd5", "-"],
        check=True, timeout=60, capture_output=True, text=True)
    units = split_access_units(path.read_bytes())
    hashes = framemd5_hashes(local.stdout)
    assert len(units) == len(hashes) == 3 * FPS
    keyframes = {i for i, unit in enumerate(units) if 5 in nal_types(unit)}
    assert keyframes == set(range(0, len(units), GOP))
    return units, keyframes, hashes


class Feeder(threading.Thread):
    """Loops the video into the server in real time and notes the most viewers seen."""

    def __init__(self, server, units):
        super().__init__(daemon=True)
        self.server, self.units = server, units
        self.stopping = threading.Event()
        self.most_served = 0
        self.error = None

    def run(self):
        next_due = time.monotonic()
        index = 0
        try:
            while not self.stopping.is_set():
                served = self.server.send_frame(self.units[index % len(self.units)], INCREMENT)
                self.most_served = max(self.most_served, served)
                index += 1
                next_due += 1 / FPS
                self.stopping.wait(max(0.0, next_due - time.monotonic()))
        except Exception as err:  # surfaced by the fixture
            self.error = err


@pytest.fixture
def stream(video):
    units = video[0]
    server, port = start_server()
    feeder = Feeder(server, units)
    feeder.start()
    try:
        yield f"rtsp://127.0.0.1:{port}/stream", feeder
    finally:
        feeder.stopping.set()
        feeder.join(5)
        server.stop()
    assert feeder.error is None, feeder.error


def ffmpeg_client(url, frames, transport="udp"):
    return ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
            "-rtsp_transport", transport, "-i", url, "-map", "0:v:0", "-frames:v", str(frames),
            "-fps_mode", "passthrough", "-f", "framemd5", "-"]


GST_COUNTER = r"""
import sys
import gi
gi.require_version("Gst", "1.0")
from gi.repository import Gst
Gst.init(None)
url, wanted, timeout = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
pipeline = Gst.parse_launch(
    f"rtspsrc location={url} protocols=udp latency=200 ! rtph264depay ! "
    "avdec_h264 output-corrupt=false ! appsink name=sink sync=false max-buffers=8 drop=true")
sink = pipeline.get_by_name("sink")
pipeline.set_state(Gst.State.PLAYING)
frames = 0
deadline = Gst.util_get_timestamp() + int(timeout * Gst.SECOND)
while frames < wanted and Gst.util_get_timestamp() < deadline:
    if sink.emit("try-pull-sample", Gst.SECOND // 10) is not None:
        frames += 1
    elif sink.get_property("eos"):
        break
pipeline.set_state(Gst.State.NULL)
print(frames)
"""


def gstreamer_client(url, frames):
    return [sys.executable, "-c", GST_COUNTER, url, str(frames), str(CLIENT_TIMEOUT - 5)]


def gstreamer_available():
    probe = subprocess.run(
        [sys.executable, "-c",
         "import gi; gi.require_version('Gst', '1.0'); from gi.repository import Gst; Gst.init(None);"
         "assert all(Gst.ElementFactory.find(e) for e in ('rtspsrc', 'rtph264depay', 'avdec_h264'))"],
        capture_output=True, timeout=30)
    return probe.returncode == 0


def aligned_mismatches(received, video):
    """Frames from ffmpeg's first keyframe on, against the local decode.

    Returns (compared, mismatching positions)."""
    _, keyframes, local = video
    key_hashes = {local[i]: i for i in keyframes}
    start = next((n for n, h in enumerate(received) if h in key_hashes), None)
    if start is None:
        return 0, ["no keyframe decoded"]
    origin = key_hashes[received[start]]
    compared = received[start:]
    wrong = [n for n, h in enumerate(compared) if h != local[(origin + n) % len(local)]]
    return len(compared), wrong


def test_ffmpeg_over_udp_decodes_bit_exact_frames(stream, video):
    url, _ = stream
    ((code, out, err),) = run_clients([ffmpeg_client(url, 45)])
    assert code == 0, err
    compared, wrong = aligned_mismatches(framemd5_hashes(out), video)
    assert compared >= 15, f"only {compared} frames after the first keyframe"
    assert wrong == []


def test_gstreamer_and_ffmpeg_play_at_the_same_time(stream, video):
    if not gstreamer_available():
        pytest.skip("GStreamer with rtspsrc and avdec_h264 not installed")
    url, feeder = stream
    (gst_code, gst_out, gst_err), (ff_code, ff_out, ff_err) = run_clients(
        [gstreamer_client(url, 30), ffmpeg_client(url, 60)])
    assert gst_code == 0, gst_err
    assert int(gst_out.split()[-1]) >= 30, gst_err
    assert ff_code == 0, ff_err
    compared, wrong = aligned_mismatches(framemd5_hashes(ff_out), video)
    assert compared >= 15 and wrong == []
    assert feeder.most_served >= 2, "the two players never played together"


def test_tcp_only_client_is_refused_while_others_play(stream, video):
    url, feeder = stream
    (tcp_code, tcp_out, _), (udp_code, udp_out, udp_err) = run_clients(
        [ffmpeg_client(url, 10, transport="tcp"), ffmpeg_client(url, 45)])
    assert tcp_code != 0 or framemd5_hashes(tcp_out) == []
    assert udp_code == 0, udp_err
    compared, wrong = aligned_mismatches(framemd5_hashes(udp_out), video)
    assert compared >= 15 and wrong == []
    assert feeder.most_served == 1


def mpv_client(url, frames, output):
    """mpv over UDP, writing what it decodes as framemd5 lines to `output`."""
    return ["mpv", "--no-config", "--rtsp-transport=udp", "--ao=no", f"--frames={frames}",
            f"--o={output}", "--of=framemd5", "--ovc=rawvideo", url]


def test_mpv_over_udp_decodes_bit_exact_frames(stream, video, tmp_path):
    if shutil.which("mpv") is None:
        pytest.skip("mpv not installed")
    url, _ = stream
    output = tmp_path / "mpv.framemd5"
    ((code, _, err),) = run_clients([mpv_client(url, 45, output)])
    assert code == 0, err
    compared, wrong = aligned_mismatches(framemd5_hashes(output.read_text()), video)
    assert compared >= 15, f"only {compared} frames after the first keyframe"
    assert wrong == []


OPENCV_READER = r"""
import hashlib, sys
import cv2
source, wanted = sys.argv[1], int(sys.argv[2])
capture = cv2.VideoCapture(source, cv2.CAP_FFMPEG)
for _ in range(wanted):
    ok, image = capture.read()
    if not ok:
        break
    print(hashlib.md5(image.tobytes()).hexdigest(), flush=True)
capture.release()
"""


def opencv_client(source, frames):
    """cv2.VideoCapture reading `frames` pictures; prints the MD5 of each."""
    return [sys.executable, "-c", OPENCV_READER, source, str(frames)]


@pytest.fixture(scope="session")
def opencv_video(video, tmp_path_factory):
    """The test video as OpenCV decodes it locally: (units, keyframes, image hashes)."""
    pytest.importorskip("cv2")
    units, keyframes, _ = video
    path = tmp_path_factory.mktemp("opencv") / "test.h264"
    path.write_bytes(b"".join(units))
    ((code, out, err),) = run_clients([opencv_client(str(path), len(units))])
    assert code == 0, err
    hashes = out.split()
    assert len(hashes) == len(units), err
    return units, keyframes, hashes


@pytest.mark.parametrize("capture_options, tries_tcp_first", [
    ("rtsp_transport;udp", False),  # what the Players page recommends
    (None, True),                   # the default: TCP, refused with 461, then UDP
])
def test_opencv_capture_decodes_bit_exact_frames(stream, opencv_video, capture_options,
                                                 tries_tcp_first):
    url, _ = stream
    env = {k: v for k, v in os.environ.items() if k != "OPENCV_FFMPEG_CAPTURE_OPTIONS"}
    if capture_options:
        env["OPENCV_FFMPEG_CAPTURE_OPTIONS"] = capture_options
    ((code, out, err),) = run_clients([opencv_client(url, 45)], env=env)
    assert code == 0, err
    assert ("461 Unsupported Transport" in err) == tries_tcp_first, err
    compared, wrong = aligned_mismatches(out.split(), opencv_video)
    assert compared >= 15, f"only {compared} frames after the first keyframe"
    assert wrong == []


class SessionsCreated(logging.Handler):
    """Counts the server's "session created" events while installed."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.count = 0

    def emit(self, record):
        if record.getMessage().startswith("session created"):
            self.count += 1

    def __enter__(self):
        self.logger = logging.getLogger("rtsp.session")
        self.saved_level = self.logger.level
        self.logger.setLevel(logging.DEBUG)
        self.logger.addHandler(self)
        rtsp_logging.enable(logging.DEBUG)
        return self

    def __exit__(self, *exc):
        rtsp_logging.disable()  # delivers what is pending first
        self.logger.removeHandler(self)
        self.logger.setLevel(self.saved_level)


TCP_ONLY_CLIENTS = {
    "ffmpeg -rtsp_transport tcp": ("ffmpeg", lambda url: ffmpeg_client(url, 10, transport="tcp")),
    "mpv by default": ("mpv", lambda url: ["mpv", "--no-config", "--vo=null", "--ao=null",
                                           "--length=2", url]),
}


@pytest.mark.parametrize("client", TCP_ONLY_CLIENTS)
def test_tcp_only_client_gets_461_and_leaves_no_session(stream, client):
    binary, command = TCP_ONLY_CLIENTS[client]
    if shutil.which(binary) is None:
        pytest.skip(f"{binary} not installed")
    url, feeder = stream
    with SessionsCreated() as sessions:
        ((code, out, err),) = run_clients([command(url)])
    assert code != 0
    assert "461 Unsupported Transport" in out + err, out + err
    assert sessions.count == 0, "the refused SETUP created a session"
    assert feeder.most_served == 0
