"""Serve frames you draw as numpy arrays, encoded to H.264 on the fly.

    python3 examples/numpy_frames.py [--bind 0.0.0.0:8554] [--size 640x360]
                                     [--fps 30] [--seconds N]

This is where a camera pipeline, a robot or a renderer starts: an RGB frame
in memory. PyAV (Debian's python3-av) encodes each one with libx264 for low
latency (no B-frames, so every frame goes out as soon as it is drawn, and the
parameter sets before every keyframe, so a player that joins late can start
at the next one), and the server sends each access unit to every player:

    ffplay -rtsp_transport udp rtsp://127.0.0.1:8554/stream
"""

import argparse
import sys
import time

import av
import numpy as np

import rtsp

CLOCK_RATE = 90000  # RTP clock of H.264


def make_encoder(width, height, fps):
    encoder = av.CodecContext.create("libx264", "w")
    encoder.width, encoder.height = width, height
    encoder.pix_fmt = "yuv420p"
    encoder.framerate = fps
    encoder.time_base = f"1/{fps}"
    encoder.options = {
        "preset": "veryfast",
        "tune": "zerolatency",
        # A keyframe every second, parameter sets before each, no B-frames.
        "x264-params": f"keyint={fps}:min-keyint={fps}:scenecut=0:bframes=0:repeat-headers=1",
    }
    return encoder


def draw(index, width, height):
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


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bind", default="0.0.0.0:8554")
    parser.add_argument("--size", default="640x360")
    parser.add_argument("--fps", type=int, default=30)
    parser.add_argument("--seconds", type=float, default=None, help="stop after this long")
    args = parser.parse_args(argv)
    width, height = (int(v) for v in args.size.split("x"))

    encoder = make_encoder(width, height, args.fps)
    increment = CLOCK_RATE // args.fps  # 3000 at 30 fps
    server = rtsp.Server(args.bind)
    server.start()
    print(f"serving rtsp://{args.bind.replace('0.0.0.0', '127.0.0.1')}/stream", flush=True)
    start = time.monotonic()
    index = 0
    try:
        while args.seconds is None or time.monotonic() - start < args.seconds:
            picture = av.VideoFrame.from_ndarray(draw(index, width, height), format="rgb24")
            picture = picture.reformat(format="yuv420p")
            picture.pts = index
            for packet in encoder.encode(picture):
                # With zero latency each packet is one whole access unit.
                server.send_frame(bytes(packet), increment)
            index += 1
            # Pace by the clock, not by the encoder.
            delay = start + index / args.fps - time.monotonic()
            if delay > 0:
                time.sleep(delay)
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
