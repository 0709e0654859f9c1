"""Loop an H.264 file into an RTSP server, one access unit per frame period.

    .venv/bin/python examples/push_frames.py clip.h264 [--bind 0.0.0.0:8554] [--fps 30]

(`.venv/bin/python` after scripts/setup, or any python3 with the module
installed, see the README.) `clip.h264` is an Annex B H.264 stream, with or
without access unit delimiters, best with the parameter sets before every
keyframe and no B-frames, for example:

    ffmpeg -f lavfi -i testsrc2=size=640x360:rate=30 -t 10 -c:v libx264 -bf 0 -g 30 \
      -x264-params repeat-headers=1 -f h264 clip.h264

Players open rtsp://127.0.0.1:8554/stream (RTP over UDP):

    ffplay -rtsp_transport udp rtsp://127.0.0.1:8554/stream
"""

from __future__ import annotations

import argparse
import itertools
import time

import launch


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__ and __doc__.splitlines()[0])
    parser.add_argument("file", help="Annex B H.264 file to loop")
    launch.add_bind_option(parser)
    launch.add_fps_option(parser)
    args = parser.parse_args(argv)

    frames = launch.load_stream(args.file)
    server = launch.start_server(args.bind)
    print(f"serving {args.file} ({len(frames)} frames, looped) at {launch.watch_url(args.bind)}",
          flush=True)
    increment = 90000 // args.fps  # the RTP clock of H.264 runs at 90 kHz
    due = time.monotonic()
    viewers = 0
    try:
        for frame in itertools.cycle(frames):
            served = server.send_frame(frame, increment)  # one access unit per call
            if served != viewers:
                print(f"{served} viewer(s): "
                      + ", ".join(v.client_addr for v in server.get_viewers()), flush=True)
                viewers = served
            due += 1 / args.fps
            time.sleep(max(0.0, due - time.monotonic()))
    finally:
        server.stop()


if __name__ == "__main__":
    launch.run(main)
