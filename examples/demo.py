"""Serve a live, moving test pattern over RTSP.

    scripts/demo                      # encode a test pattern with ffmpeg/libx264
    scripts/demo --size 1280x720 --fps 25
    scripts/demo --file clip.h264     # loop an existing Annex B H.264 file
    scripts/demo --bind 127.0.0.1:9000

scripts/demo builds first and then runs `.venv/bin/python examples/demo.py` with
the same options. Then open rtsp://127.0.0.1:8554/stream in a player (the
commands are printed). Ctrl-C stops the server and the encoder.
"""

from __future__ import annotations

import argparse
import logging
import os
import shutil
import signal
import subprocess
import sys
import time
from typing import Iterable, Iterator, NoReturn

import annexb
import launch
import rtsp
import rtsp_logging


def file_units(units: list[bytes]) -> Iterator[bytes]:
    """The access units of an Annex B file, looped forever."""
    while True:
        yield from units


def encoder_command(size: tuple[int, int], fps: int) -> list[str]:
    width, height = size
    return [
        "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
        "-f", "lavfi", "-i", f"testsrc2=size={width}x{height}:rate={fps}",
        "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency",
        "-profile:v", "main",
        "-bf", "0", "-g", str(fps), "-keyint_min", str(fps), "-sc_threshold", "0",
        "-x264-params", "repeat-headers=1:aud=1", "-f", "h264", "-",
    ]


def encoder_units(encoder: subprocess.Popen[bytes]) -> Iterator[bytes]:
    splitter = annexb.AccessUnitSplitter()
    assert encoder.stdout is not None  # started with stdout=PIPE
    fd = encoder.stdout.fileno()
    while True:
        chunk = os.read(fd, 65536)
        if not chunk:
            yield from splitter.flush()
            return
        yield from splitter.feed(chunk)


def print_banner(url: str, source: str) -> None:
    print(f"Serving {source} at {url}\n")
    print("Watch it with any of:")
    print(f"  ffplay -rtsp_transport udp {url}")
    print(f"  gst-launch-1.0 rtspsrc location={url} protocols=udp latency=200 "
          "! rtph264depay ! avdec_h264 ! videoconvert ! autovideosink")
    print(f"  mpv --rtsp-transport=udp {url}")
    print(f"  vlc {url}    (a build with its RTSP module; not Debian's)")
    print("\nCtrl-C to stop.\n", flush=True)


class Status:
    """A one-line summary (frames, frame rate, bit rate, viewers), about once a second."""

    def __init__(self, server: rtsp.Server) -> None:
        self.server = server
        self.frames = 0
        self.window_frames = 0
        self.window_bytes = 0
        self.window_start = time.monotonic()
        self.live = sys.stdout.isatty()

    def frame_sent(self, size: int) -> None:
        self.frames += 1
        self.window_frames += 1
        self.window_bytes += size
        now = time.monotonic()
        elapsed = now - self.window_start
        if elapsed < 1.0:
            return
        line = (f"frames {self.frames}  {self.window_frames / elapsed:5.1f} fps  "
                f"{self.window_bytes * 8 / elapsed / 1000:7.0f} kbit/s  "
                f"viewers {len(self.server.get_viewers())}")
        print(f"\r{line}   " if self.live else line, end="" if self.live else "\n", flush=True)
        self.window_frames = self.window_bytes = 0
        self.window_start = now


def serve(server: rtsp.Server, units: Iterable[bytes], fps: int) -> None:
    increment = 90000 // fps
    period = 1.0 / fps
    status = Status(server)
    due = time.monotonic()
    for unit in units:
        delay = due - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        elif delay < -1.0:
            due = time.monotonic()  # fell far behind (suspended?): do not burst
        server.send_frame(unit, increment)
        status.frame_sent(len(unit))
        due += period


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Serve a live H.264 test pattern over RTSP.")
    launch.add_bind_option(parser)
    launch.add_size_option(parser)
    launch.add_fps_option(parser)
    parser.add_argument("--file", metavar="PATH.h264",
                        help="loop this Annex B H.264 file instead of encoding a test pattern")
    parser.add_argument("--log", action="store_true",
                        help="print the server's events (connections, sessions, failed sends)")
    return parser.parse_args(argv)


def show_events() -> None:
    """Server events on stderr, each on a line of its own above the status line."""
    clear = "\r\x1b[K" if sys.stderr.isatty() else ""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter(clear + "%(asctime)s %(levelname)s %(name)s: %(message)s",
                                           "%H:%M:%S"))
    logger = logging.getLogger("rtsp")
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    rtsp_logging.enable(logging.INFO)


def main(argv: list[str] | None = None) -> NoReturn:
    args = parse_args(argv)
    if args.log:
        show_events()
    if args.file:
        units = file_units(launch.load_stream(args.file))
        source = args.file
    elif shutil.which("ffmpeg") is None:
        launch.fail("ffmpeg not found; run scripts/setup or pass --file PATH.h264")
    else:
        source = "a {}x{} test pattern at {} fps".format(*args.size, args.fps)

    server = launch.start_server(args.bind)
    encoder = None
    try:
        if not args.file:
            # Its own session, so Ctrl-C reaches only us and we end it ourselves.
            encoder = subprocess.Popen(encoder_command(args.size, args.fps),
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       start_new_session=True)
            units = encoder_units(encoder)
        print_banner(launch.watch_url(args.bind), source)
        serve(server, units, args.fps)
        launch.fail("the encoder stopped")
    finally:
        server.stop()
        if encoder is not None:
            if encoder.poll() is None:
                os.kill(encoder.pid, signal.SIGKILL)
            encoder.wait()


if __name__ == "__main__":
    launch.run(main)
