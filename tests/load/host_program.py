"""The embedding program of the limit tests, in a process of its own so that
the interpreter lock it holds while sending is nobody else's.

    PYTHONPATH=tests/python python host_program.py PORT [--nofile N]

Serves rtsp://127.0.0.1:PORT/stream, sends a small frame (one RTP packet)
every 1/30 s, and answers each command line on stdin with one JSON line:
"mark" starts a new timing window, "stats" reports it, "quit" ends.
"""

import argparse
import json
import resource
import sys
import threading
import time

import rtsp
from support import descriptors, rss_kib, threads

FRAME = b"\x00\x00\x00\x01\x65" + bytes(range(1, 201)) * 4


def percentile(values, share):
    if not values:
        return 0.0
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", type=int)
    parser.add_argument("--nofile", type=int, help="soft descriptor limit to run under")
    args = parser.parse_args()
    if args.nofile:
        _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (args.nofile, hard))

    server = rtsp.Server(f"127.0.0.1:{args.port}")
    server.start()
    lock = threading.Lock()
    durations = []  # seconds per send_frame in the current window
    done = threading.Event()

    def feed():
        period = 1 / 30
        next_at = time.monotonic()
        while not done.is_set():
            began = time.perf_counter()
            server.send_frame(FRAME, 3000)
            spent = time.perf_counter() - began
            with lock:
                durations.append(spent)
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
                window = list(durations)
            print(json.dumps({
                "frames": len(window),
                "p50_ms": percentile(window, 0.50) * 1e3,
                "p99_ms": percentile(window, 0.99) * 1e3,
                "max_ms": max(window, default=0.0) * 1e3,
                "viewers": len(server.get_viewers()),
                "rss_kib": rss_kib(),
                "threads": threads(),
                "descriptors": descriptors(),
            }), flush=True)
        elif command == "quit":
            break
    done.set()
    feeder.join()
    server.stop()


if __name__ == "__main__":
    main()
