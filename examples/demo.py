"""Serve a live, moving test pattern over RTSP.

    scripts/demo                      # encode a test pattern with ffmpeg/libx264
    scripts/demo --size 1280x720 --fps 25
    scripts/demo --file clip.h264     # loop an existing Annex B H.264 file
    scripts/demo --bind 127.0.0.1:9000

Then open rtsp://127.0.0.1:8554/stream in a player (the commands are printed).
Ctrl-C stops the server and the encoder.
"""

import argparse
import logging
import os
import shutil
import signal
import subprocess
import sys
import time

import rtsp
import rtsp_logging

START_CODE = b"\x00\x00\x01"
VCL_TYPES = (1, 5)  # coded slices
# NAL types that open a new access unit when they follow a coded slice:
# delimiter, SEI, SPS, PPS and the reserved 14..18.
PREFIX_TYPES = frozenset((6, 7, 8, 9, 14, 15, 16, 17, 18))


class AccessUnitSplitter:
    """Cuts an Annex B byte stream, fed in arbitrary chunks, into access units.

    A new access unit starts where, after a coded slice, there comes a
    delimiter, SEI or parameter set, or a slice whose first_mb_in_slice is 0
    (the first bit after the NAL header is 1). So streams with and without
    access unit delimiters both split correctly."""

    def __init__(self):
        self.buffer = bytearray()
        self.scanned = 0  # no start code begins before this offset
        self.seen_slice = False  # the unit in the buffer holds a coded slice

    def feed(self, chunk):
        self.buffer += chunk
        units = []
        while True:
            pos = self.buffer.find(START_CODE, self.scanned)
            if pos == -1 or pos + 4 >= len(self.buffer):
                # A start code may straddle two chunks: look at the tail again.
                self.scanned = max(self.scanned, len(self.buffer) - 4)
                return units
            self.scanned = pos + 3
            nal_type = self.buffer[pos + 3] & 0x1F
            is_slice = nal_type in VCL_TYPES
            first_slice = is_slice and self.buffer[pos + 4] & 0x80
            if self.seen_slice and (nal_type in PREFIX_TYPES or first_slice):
                begin = pos - 1 if pos > 0 and self.buffer[pos - 1] == 0 else pos
                units.append(bytes(self.buffer[:begin]))
                del self.buffer[:begin]
                self.scanned -= begin
                self.seen_slice = False
            self.seen_slice = self.seen_slice or is_slice

    def flush(self):
        """The last unit, once the stream has ended."""
        rest = bytes(self.buffer) if self.seen_slice else b""
        self.buffer.clear()
        self.scanned = 0
        self.seen_slice = False
        return [rest] if rest else []


def file_units(path):
    """The access units of an Annex B file, looped forever."""
    with open(path, "rb") as f:
        splitter = AccessUnitSplitter()
        units = splitter.feed(f.read()) + splitter.flush()
    if not units:
        sys.exit(f"demo: {path} holds no H.264 frames (an Annex B stream is needed)")
    while True:
        yield from units


def encoder_command(size, fps):
    return [
        "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
        "-f", "lavfi", "-i", f"testsrc2=size={size}:rate={fps}",
        "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency",
        "-bf", "0", "-g", str(fps), "-keyint_min", str(fps), "-sc_threshold", "0",
        "-x264-params", "repeat-headers=1:aud=1", "-f", "h264", "-",
    ]


def encoder_units(encoder):
    splitter = AccessUnitSplitter()
    fd = encoder.stdout.fileno()
    while True:
        chunk = os.read(fd, 65536)
        if not chunk:
            yield from splitter.flush()
            return
        yield from splitter.feed(chunk)


def watch_url(bind):
    host, _, port = bind.rpartition(":")
    if host in ("0.0.0.0", ""):
        host = "127.0.0.1"
    elif host == "[::]":
        host = "[::1]"
    return f"rtsp://{host}:{port}/stream"


def print_banner(url, source):
    print(f"Serving {source} at {url}\n")
    print("Watch it with any of:")
    print(f"  ffplay -rtsp_transport udp {url}")
    print(f"  gst-launch-1.0 rtspsrc location={url} protocols=udp latency=200 "
          "! rtph264depay ! avdec_h264 ! videoconvert ! autovideosink")
    print(f"  vlc {url}")
    print("\nCtrl-C to stop.\n", flush=True)


class Status:
    """A one-line summary (frames, frame rate, bit rate, viewers), about once a second."""

    def __init__(self, server):
        self.server = server
        self.frames = 0
        self.window_frames = 0
        self.window_bytes = 0
        self.window_start = time.monotonic()
        self.live = sys.stdout.isatty()

    def frame_sent(self, size):
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


def serve(server, units, fps):
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


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Serve a live H.264 test pattern over RTSP.")
    parser.add_argument("--bind", default="0.0.0.0:8554",
                        help="RTSP listen address, host:port (default 0.0.0.0:8554)")
    parser.add_argument("--size", default="640x360", help="test pattern size (default 640x360)")
    parser.add_argument("--fps", type=int, default=30, help="frame rate (default 30)")
    parser.add_argument("--file", metavar="PATH.h264",
                        help="loop this Annex B H.264 file instead of encoding a test pattern")
    parser.add_argument("--log", action="store_true",
                        help="print the server's events (connections, sessions, failed sends)")
    args = parser.parse_args(argv)
    if not 1 <= args.fps <= 240:
        parser.error("--fps must be between 1 and 240")
    width, _, height = args.size.partition("x")
    if not (width.isdigit() and height.isdigit()):
        parser.error("--size must look like 640x360")
    return args


def show_events():
    """Server events on stderr, each on a line of its own above the status line."""
    clear = "\r\x1b[K" if sys.stderr.isatty() else ""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter(clear + "%(asctime)s %(levelname)s %(name)s: %(message)s",
                                           "%H:%M:%S"))
    logger = logging.getLogger("rtsp")
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    rtsp_logging.enable(logging.INFO)


def main(argv=None):
    args = parse_args(argv)
    if args.log:
        show_events()
    # Ctrl-C and SIGTERM stop cleanly, also when started from a script that
    # left SIGINT ignored (background jobs).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.default_int_handler)

    encoder = None
    if args.file:
        units = file_units(args.file)
        source = args.file
    else:
        if shutil.which("ffmpeg") is None:
            sys.exit("demo: ffmpeg not found; run scripts/setup or pass --file PATH.h264")
        # Its own session, so Ctrl-C reaches only us and we end it ourselves.
        encoder = subprocess.Popen(encoder_command(args.size, args.fps), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, start_new_session=True)
        units = encoder_units(encoder)
        source = f"a {args.size} test pattern at {args.fps} fps"

    server = rtsp.Server(args.bind)
    try:
        try:
            server.start()
        except RuntimeError as err:
            print(f"demo: cannot listen on {args.bind}: {err}", file=sys.stderr)
            return 1
        print_banner(watch_url(args.bind), source)
        serve(server, units, args.fps)
        print("\ndemo: the encoder stopped", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\nstopping")
        return 0
    finally:
        server.stop()
        if encoder is not None:
            if encoder.poll() is None:
                os.kill(encoder.pid, signal.SIGKILL)
            encoder.wait()


if __name__ == "__main__":
    sys.exit(main())
