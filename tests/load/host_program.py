"""The embedding program of the limit tests, in a process of its own so that
the interpreter lock it holds while sending is nobody else's.

    PYTHONPATH=tests/python python host_program.py PORT [--nofile N] [--frame-bytes N]

Serves rtsp://127.0.0.1:PORT/stream, sends a small frame (one RTP packet;
more with --frame-bytes) every 1/30 s, and answers each command line on
stdin with one JSON line: "mark" starts a new timing window, "stats" reports
it, "log on" routes the server's warnings to Python logging (formatted, as a
program's handler would) and "log off" stops that, "failed sends" reports the
records of failed sends since it was last asked, "quit" ends.
"""

import argparse
import collections
import json
import logging
import resource
import sys
import threading
import time

import rtsp
import rtsp_logging
from support import descriptors, rss_kib, threads

START = b"\x00\x00\x00\x01\x65"
FRAME = START + bytes(range(1, 201)) * 4


class FailedSends(logging.Handler):
    """Formats every record; keeps (time, failed) of each session's failed sends."""

    def __init__(self):
        super().__init__()
        self.records_lock = threading.Lock()
        self.by_session = collections.defaultdict(list)

    def emit(self, record):
        self.format(record)
        fields = getattr(record, "rtsp_fields", {})
        if record.msg.startswith("failed to send RTP packet"):
            with self.records_lock:
                self.by_session[fields["session_id"]].append(
                    (record.created, fields.get("failed", 1)))

    def take(self):
        with self.records_lock:
            taken, self.by_session = self.by_session, collections.defaultdict(list)
        return taken


def percentile(values, share):
    if not values:
        return 0.0
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("--nofile", type=int, help="soft descriptor limit to run under")
    parser.add_argument("--frame-bytes", type=int, help="size of every frame sent")
    args = parser.parse_args()
    frame = FRAME
    if args.frame_bytes:
        frame = START + bytes(i % 255 + 1 for i in range(args.frame_bytes - len(START)))
    failed_sends = FailedSends()
    logging.getLogger("rtsp").addHandler(failed_sends)
    if args.nofile:
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (args.nofile, hard))

    server = rtsp.Server(f"127.0.0.1:{args.port}")
    server.start()
    lock = threading.Lock()
    # (seconds, preempted, waited) per send_frame in the current window: whether
    # the scheduler switched the thread out during the call (that measures the
    # machine's load, not the server), and whether the thread slept of its own
    # accord (as it does waiting on a contended lock).
    durations = []
    done = threading.Event()

    def feed():
        period = 1 / 30
        next_at = time.monotonic()
        while not done.is_set():
            before = resource.getrusage(resource.RUSAGE_THREAD)
            began = time.perf_counter()
            server.send_frame(frame, 3000)
            spent = time.perf_counter() - began
            after = resource.getrusage(resource.RUSAGE_THREAD)
            with lock:
                durations.append((spent, after.ru_nivcsw != before.ru_nivcsw,
                                  after.ru_nvcsw != before.ru_nvcsw))
            next_at += period
            time.sleep(max(0.0, next_at - time.monotonic()))

    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    print(json.dumps({"ready": True}), flush=True)
    for line in sys.stdin:
        command = line.strip()
        if command == "mark":
            with lock:
                durations.clear()
            print(json.dumps({"marked": True}), flush=True)
        elif command == "stats":
            with lock:
                calls = list(durations)
            window = [spent for spent, _, _ in calls]
            running = [spent for spent, preempted, _ in calls if not preempted]
            print(json.dumps({
                "frames": len(window),
                "p50_ms": percentile(window, 0.50) * 1e3,
                "p99_ms": percentile(window, 0.99) * 1e3,
                "preempted": len(window) - len(running),
                "waited": sum(waited for _, _, waited in calls),
                "p99_running_ms": percentile(running, 0.99) * 1e3,
                "max_ms": max(window, default=0.0) * 1e3,
                "viewers": len(server.get_viewers()),
                "rss_kib": rss_kib(),
                "threads": threads(),
                "descriptors": descriptors(),
            }), flush=True)
        elif command in ("log on", "log off"):
            if command == "log on":
                rtsp_logging.enable(logging.WARNING)
            else:
                rtsp_logging.disable()  # delivers what is pending first
            print(json.dumps({"logging": command == "log on"}), flush=True)
        elif command == "failed sends":
            print(json.dumps(failed_sends.take()), flush=True)
        elif command == "quit":
            break
    done.set()
    feeder.join()
    server.stop()


if __name__ == "__main__":
    main()
