"""Joining a live stream: how soon a new viewer sees a correct picture.

A producer (examples/numpy_frames.py's loop, 640x360 at 30 frames/s, a
keyframe every second) serves in a process of its own, once with the
keyframe-on-new-viewer pattern and once without. Real players join it one
after the other, at random points of the keyframe interval, through a small
TCP relay in this process that notes when the PLAY answer passes. For every
join it prints the time from the PLAY answer to the first correctly decoded
frame and the frames the player received but could not decode:

- ffmpeg (framemd5 over UDP): it shows no frame before its first keyframe;
  the first frame's timestamp counts the frames it received before it.
- GStreamer (rtspsrc latency=200, avdec_h264 with output-corrupt=true): the
  frames flagged corrupted before the first clean one (what gst-play shows
  as garbled pictures).

Medians per player and mode at the end. Nothing is asserted.

    PYTHONPATH=<build>/python python3 bench/join.py [--joins 7] [--players ffmpeg,gstreamer]
"""

import argparse
import os
import pathlib
import random
import select
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "examples"))

from report import spread, table  # noqa: E402
PLAYER_TIMEOUT = 15.0

GST_PLAYER = r"""
import sys
import gi
gi.require_version("Gst", "1.0")
from gi.repository import Gst
Gst.init(None)
pipeline = Gst.parse_launch(
    f"rtspsrc location={sys.argv[1]} protocols=udp latency=200 ! rtph264depay ! "
    "avdec_h264 output-corrupt=true ! appsink name=sink sync=false")
sink = pipeline.get_by_name("sink")
pipeline.set_state(Gst.State.PLAYING)
for _ in range(int(sys.argv[2])):
    sample = sink.emit("try-pull-sample", 5 * Gst.SECOND)
    if sample is None:
        break
    corrupted = sample.get_buffer().get_flags() & Gst.BufferFlags.CORRUPTED
    print("corrupted" if corrupted else "clean", flush=True)
pipeline.set_state(Gst.State.NULL)
"""


def ffmpeg_player(url, quick_probe=False):
    # By default ffmpeg analyses about a second of the stream before its first frame.
    probe = ["-analyzeduration", "0", "-probesize", "32"] if quick_probe else []
    command = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-rtsp_transport", "udp",
               *probe, "-i", url, "-frames:v", "5", "-fps_mode", "passthrough", "-flush_packets", "1",
               "-f", "framemd5", "-"]

    def verdict(line):
        """(a correct frame?, frames skipped before it) from one output line."""
        if line.startswith("#"):
            return None
        return True, int(line.split(",")[1])  # pts in frames (tb 1/fps) since the first received
    return command, verdict


def gstreamer_player(url, quick_probe=False):
    command = [sys.executable, "-c", GST_PLAYER, url, "60"]
    return command, lambda line: (line == "clean", None)


PLAYERS = {"ffmpeg": ffmpeg_player, "gstreamer": gstreamer_player}


class PlayWatch:
    """A TCP relay to the server that notes when each PLAY answer passes."""

    def __init__(self, server_port):
        self.server_port = server_port
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.play_answered = None
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            client, _ = self.listener.accept()
            upstream = socket.create_connection(("127.0.0.1", self.server_port))
            asked = threading.Event()
            threading.Thread(target=self._pump, args=(client, upstream, asked, True),
                             daemon=True).start()
            threading.Thread(target=self._pump, args=(upstream, client, asked, False),
                             daemon=True).start()

    def _pump(self, source, sink, asked, requests):
        try:
            while chunk := source.recv(65536):
                if requests and b"PLAY " in chunk:
                    asked.set()
                elif not requests and asked.is_set():
                    self.play_answered = time.monotonic()
                    asked.clear()
                sink.sendall(chunk)
        except OSError:
            pass
        finally:
            for sock in (source, sink):
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass


def one_join(name, url, watch, quick_probe):
    """(seconds from the PLAY answer to the first correct frame, undecodable frames)."""
    command, verdict = PLAYERS[name](url, quick_probe)
    watch.play_answered = None
    player = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
    bad = 0
    pending = b""
    deadline = time.monotonic() + PLAYER_TIMEOUT
    try:
        while time.monotonic() < deadline:
            if not select.select([player.stdout], [], [], 0.5)[0]:
                continue
            chunk = os.read(player.stdout.fileno(), 4096)
            arrived = time.monotonic()
            if not chunk:
                break
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                result = verdict(line.decode().strip())
                if result is None:
                    continue
                good, skipped = result
                if good:
                    return arrived - watch.play_answered, bad if skipped is None else skipped
                bad += 1
        return None, bad
    finally:
        if player.poll() is None:
            os.kill(player.pid, signal.SIGKILL)
        player.wait()


def start_producer(keyframe_on_join):
    for _ in range(20):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        producer = subprocess.Popen(
            [sys.executable, __file__, "--serve", f"127.0.0.1:{port}",
             "--keyframe-on-join", "on" if keyframe_on_join else "off"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        if producer.stdout.readline().strip() == "listening":
            return producer, port
        producer.wait()
    raise RuntimeError("the producer did not start")


def serve(bind_addr, keyframe_on_join):
    import launch
    import numpy_frames
    server = launch.start_server(bind_addr)
    print("listening", flush=True)
    try:
        numpy_frames.serve(server, 640, 360, 30, seconds=600, keyframe_on_join=keyframe_on_join)
    finally:
        server.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--joins", type=int, default=7, help="joins per player and mode")
    parser.add_argument("--players", default="ffmpeg,gstreamer")
    parser.add_argument("--quick-probe", action="store_true",
                        help="ffmpeg with -analyzeduration 0 -probesize 32")
    parser.add_argument("--serve", metavar="HOST:PORT", help=argparse.SUPPRESS)
    parser.add_argument("--keyframe-on-join", choices=("on", "off"), default="on",
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        return serve(args.serve, args.keyframe_on_join == "on")

    rng = random.Random(1)
    results = {}
    for keyframe_on_join in (True, False):
        producer, port = start_producer(keyframe_on_join)
        try:
            watch = PlayWatch(port)
            url = f"rtsp://127.0.0.1:{watch.port}/stream"
            time.sleep(1.5)
            for name in args.players.split(","):
                for _ in range(min(max(args.joins, 1), 50)):
                    time.sleep(rng.uniform(0.2, 1.2))  # a random point of the keyframe interval
                    seconds, bad = one_join(name, url, watch, args.quick_probe)
                    mode = "keyframe on join" if keyframe_on_join else "plain"
                    results.setdefault((name, mode), []).append((seconds, bad))
                    shown = "none" if seconds is None else f"{seconds * 1000:6.0f} ms"
                    print(f"{name:9} {mode:16} first correct frame {shown}, undecodable {bad}",
                          file=sys.stderr, flush=True)
        finally:
            os.kill(producer.pid, signal.SIGKILL)
            producer.wait()

    rows = []
    for (name, mode), runs in results.items():
        bads = [b for _, b in runs]
        rows.append((name, mode, len(runs), spread([s * 1000 for s, _ in runs if s is not None], 0),
                     f"{statistics.median(bads):g} ({max(bads)})"))
    print(table(("player", "producer", "joins", "PLAY to first correct frame, median (min-max)",
                 "undecodable frames at join, median (max)"), rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
