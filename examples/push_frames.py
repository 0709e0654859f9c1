"""Push H.264 frames into an RTSP server from Python.

    python3 examples/push_frames.py clip.h264

`clip.h264` is an Annex B stream with an access unit delimiter before each
frame, for example:

    ffmpeg -f lavfi -i testsrc2=size=640x360:rate=30 -t 10 -c:v libx264 -bf 0 -g 30 \
      -x264-params aud=1:repeat-headers=1 -f h264 clip.h264

Players connect to rtsp://127.0.0.1:8554/stream (RTP over UDP).
"""

import sys
import time

import rtsp

FPS = 30


def access_units(data):
    """Split an Annex B stream at its access unit delimiters (NAL type 9)."""
    starts = []
    pos = data.find(b"\x00\x00\x01")
    while pos != -1:
        if pos + 3 < len(data) and data[pos + 3] & 0x1F == 9:
            starts.append(pos - 1 if pos > 0 and data[pos - 1] == 0 else pos)
        pos = data.find(b"\x00\x00\x01", pos + 3)
    return [data[a:b] for a, b in zip(starts, starts[1:] + [len(data)])]


def main(path):
    with open(path, "rb") as f:
        frames = access_units(f.read())
    if not frames:
        sys.exit(f"{path}: no access unit delimiters found")

    server = rtsp.Server("0.0.0.0:8554")
    server.start()
    print("rtsp://127.0.0.1:8554/stream")
    try:
        while True:
            for frame in frames:
                # One access unit per call; the increment is in 90 kHz units.
                served = server.send_frame(frame, 90000 // FPS)
                time.sleep(1 / FPS)
            for viewer in server.get_viewers():
                print(viewer.session_id, viewer.client_addr)
            print(f"{served} viewer(s) got the last frame")
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()


if __name__ == "__main__":
    main(sys.argv[1])
