"""The clock-paced frame loop shared by the fan-out benchmark's servers.

Frame k is due at start + k / fps; the loop sleeps until it is due, hands
it to `send`, and notes how long `send` took and whether it returned after
the next frame's due time (a late frame). A late loop does not skip frames:
the next one goes out at once. The file's access units are looped.

Commands arrive on standard input, one a line: "mark" zeroes the figures,
"report" prints them as one JSON object. The end of input ends the loop.
"""

import argparse
import json
import os
import select
import sys
import time

import media


def percentile(values, fraction):
    """The value below which `fraction` of `values` lie (nearest rank)."""
    if not values:
        return 0.0
    ordered = sorted(values)
    rank = max(0, min(len(ordered) - 1, round(fraction * len(ordered) + 0.5) - 1))
    return ordered[rank]


class Figures:
    def __init__(self):
        self.durations = []
        self.late = 0
        self.since = time.monotonic()
        self.cpu_since = os.times()

    def json(self):
        ms = [d * 1000.0 for d in self.durations]
        cpu = os.times()
        elapsed = time.monotonic() - self.since
        used = (cpu.user - self.cpu_since.user) + (cpu.system - self.cpu_since.system)
        return json.dumps({
            "frames": len(ms),
            "late": self.late,
            "send_p50_ms": percentile(ms, 0.50),
            "send_p99_ms": percentile(ms, 0.99),
            "send_max_ms": max(ms, default=0.0),
            "seconds": elapsed,
            "cpu_seconds": used,
        })


def run(send, units, fps, stdin=None):
    """Feeds `units` to `send` at `fps` until standard input ends."""
    stdin_fd = (stdin or sys.stdin).fileno()
    pending = b""
    figures = Figures()
    interval = 1.0 / fps
    start = time.monotonic()
    frame = 0
    while True:
        due = start + frame * interval
        while True:
            wait = due - time.monotonic()
            readable, _, _ = select.select([stdin_fd], [], [], max(0.0, wait))
            if readable:
                chunk = os.read(stdin_fd, 4096)
                if not chunk:
                    return
                pending += chunk
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    command = line.strip()
                    if command == b"mark":
                        figures = Figures()
                    elif command == b"report":
                        print(figures.json(), flush=True)
            if wait <= 0 or not readable:
                break
        began = time.perf_counter()
        send(units[frame % len(units)])
        returned = time.perf_counter()
        figures.durations.append(returned - began)
        if time.monotonic() > due + interval:
            figures.late += 1
        frame += 1


def serve(description, start):
    """The main program of a benchmark server: reads the file named on the
    command line, calls `start(fps)` for (send, port, stop), prints
    "listening PORT" and feeds `send` until standard input ends."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("file")
    parser.add_argument("--fps", type=int, default=media.FPS)
    args = parser.parse_args()
    units = media.access_units(args.file)
    send, port, stop = start(args.fps)
    print(f"listening {port}", flush=True)
    try:
        run(send, units, args.fps)
    finally:
        stop()
