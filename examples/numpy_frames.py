"""Serve frames you draw as numpy arrays, encoded to H.264 on the fly.

    .venv/bin/python examples/numpy_frames.py [--bind 0.0.0.0:8554] [--size 640x360]
                                              [--fps 30] [--seconds N]

(`.venv/bin/python` after scripts/setup, or any python3 with the module
installed, see the README.) This is where a camera pipeline, a robot or a
renderer starts: an RGB frame in memory. PyAV (Debian's python3-av) encodes
each one with libx264 for low latency (no B-frames, so every frame goes out
as soon as it is drawn, and the parameter sets before every keyframe), and
the server sends each access unit to every player:

    ffplay -rtsp_transport udp rtsp://127.0.0.1:8554/stream

A player can only start decoding at a keyframe, so when a new viewer shows
up in get_viewers() the next frame is encoded as one: it sees correct
pictures from its first frame instead of waiting up to a second.
"""

from __future__ import annotations

import argparse
import time
from typing import Callable

import launch
import rtsp

with launch.debian_package("python3-numpy"):
    import numpy as np
    import numpy.typing as npt
with launch.debian_package("python3-av"):
    import av

CLOCK_RATE = 90000  # RTP clock of H.264

# Draws picture `index` at a width and height; see draw() below.
Drawer = Callable[[int, int, int], npt.NDArray[np.uint8]]


def make_encoder(width: int, height: int, fps: int) -> av.CodecContext:
    encoder = av.CodecContext.create("libx264", "w")
    encoder.width, encoder.height = width, height
    encoder.pix_fmt = "yuv420p"
    encoder.framerate = fps
    encoder.time_base = f"1/{fps}"
    encoder.options = {
        "preset": "veryfast",
        "tune": "zerolatency",
        # Main profile: every current browser receives it over WebRTC, and
        # x264's default (High) some do not (Chromium offers no High).
        "profile": "main",
        # A frame marked "I" becomes an IDR picture (a keyframe a player can start at).
        "forced-idr": "1",
        # A keyframe every second, parameter sets before each, no B-frames.
        "x264-params": f"keyint={fps}:min-keyint={fps}:scenecut=0:bframes=0:repeat-headers=1",
    }
    return encoder


class NewViewers:
    """Tells when get_viewers() lists a session it did not list before."""

    def __init__(self, server: rtsp.Server) -> None:
        self.server = server
        self.known: set[str] = set()

    def arrived(self) -> bool:
        playing = {viewer.session_id for viewer in self.server.get_viewers()}
        new = playing - self.known
        self.known = playing
        return bool(new)


def draw(index: int, width: int, height: int) -> npt.NDArray[np.uint8]:
    """A moving colour gradient with a bright bar sweeping across."""
    x = np.arange(width, dtype=np.uint16)
    y = np.arange(height, dtype=np.uint16)[:, None]
    frame = np.empty((height, width, 3), dtype=np.uint8)
    frame[..., 0] = (x + 2 * index) & 0xFF
    frame[..., 1] = (y + index) & 0xFF
    frame[..., 2] = ((x + y) // 2) & 0xFF
    bar = (index * 8) % width
    frame[:, bar:bar + 16] = 255
    return frame


def serve(server: rtsp.Server, width: int, height: int, fps: int,
          seconds: float | None = None, keyframe_on_join: bool = True,
          drawer: Drawer = draw,
          on_sent: Callable[[int, float], None] | None = None) -> None:
    """Draws (with `drawer`), encodes and sends frames by the clock for
    `seconds` (or forever). `on_sent(index, time)` hears of each picture sent,
    with the wall-clock time (time.time()) it was handed to the server."""
    encoder = make_encoder(width, height, fps)
    joins = NewViewers(server)
    increment = CLOCK_RATE // fps  # 3000 at 30 fps
    start = time.monotonic()
    index = 0
    pts = 0  # the encoder's frame count: a join costs one frame more
    while seconds is None or time.monotonic() - start < seconds:
        picture = av.VideoFrame.from_ndarray(drawer(index, width, height), format="rgb24")
        picture = picture.reformat(format="yuv420p")
        picture.pts, pts = pts, pts + 1
        packets = encoder.encode(picture)
        # Looked at after encoding, right before sending, so nobody starts
        # playing unseen in between. A newcomer gets the same picture again
        # as a keyframe with its SPS and PPS instead of a P frame it cannot
        # decode; the others miss nothing, as nothing after a keyframe refers
        # to the frames before it.
        if keyframe_on_join and joins.arrived():
            picture.pict_type = "I"
            picture.pts, pts = pts, pts + 1
            packets = encoder.encode(picture)
        sent = time.time()
        for packet in packets:
            # With zero latency each packet is one whole access unit.
            server.send_frame(bytes(packet), increment)
        if on_sent is not None and packets:
            on_sent(index, sent)
        index += 1
        # Pace by the clock, not by the encoder.
        delay = start + index / fps - time.monotonic()
        if delay > 0:
            time.sleep(delay)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__ and __doc__.splitlines()[0])
    launch.add_bind_option(parser)
    launch.add_size_option(parser)
    launch.add_fps_option(parser)
    parser.add_argument("--seconds", type=float, default=None, help="stop after this long")
    args = parser.parse_args(argv)
    width, height = args.size

    server = launch.start_server(args.bind)
    print(f"serving {launch.watch_url(args.bind)}", flush=True)
    try:
        serve(server, width, height, args.fps, args.seconds)
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    launch.run(main)
