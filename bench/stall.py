"""A control loop beside the server: its worst stall, in-process and from a child process.

The main thread runs examples/server_process.py's control loop (an
iteration every millisecond, handing over the next frame of the 1080p30
8 Mbit/s test stream when it is due) while the C++ load generator keeps N
viewers playing. Three ways: "idle" (the loop with no server at all: what
the machine's scheduler alone costs), "in-process" (the loop calls
rtsp.Server.send_frame itself; any thread calling it holds the interpreter
lock just as long) and "child process" (examples/server_process.py's
ServerProcess). Prints, per case, the worst stall of the loop (how much
later than planned an iteration came round) over the whole window and the
median of the per-second worsts, and for in-process cases how long
send_frame took for keyframes. Medians over --repeat rounds. Nothing is
asserted.

    PYTHONPATH=<build>/python python3 bench/stall.py --loadgen <build>/bench/loadgen
"""

import argparse
import os
import pathlib
import statistics
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "examples"))

import fanout  # noqa: E402
import media  # noqa: E402
import server_process  # noqa: E402
from report import spread, table  # noqa: E402
from send_frame import free_tcp_port  # noqa: E402

import rtsp  # noqa: E402


def is_keyframe(unit):
    """Whether an access unit holds an IDR slice (NAL type 5)."""
    at = unit.find(b"\x00\x00\x01")
    while at != -1 and at + 3 < len(unit):
        if unit[at + 3] & 0x1F == 5:
            return True
        at = unit.find(b"\x00\x00\x01", at + 3)
    return False


class TimedKeyframes:
    """Passes frames to a server and notes how long it took for keyframes."""

    def __init__(self, server):
        self.server = server
        self.keyframe_ms = []

    def send_frame(self, data, increment):
        began = time.perf_counter()
        self.server.send_frame(data, increment)
        if is_keyframe(data):
            self.keyframe_ms.append((time.perf_counter() - began) * 1000)

    def get_viewers(self):
        return self.server.get_viewers()


class NoServer:
    def send_frame(self, data, increment):
        pass

    def get_viewers(self):
        return []


def started(server_class):
    """A started server of the class on a free loopback port, and the port."""
    for _ in range(20):
        port = free_tcp_port()
        server = server_class(f"127.0.0.1:{port}")
        try:
            server.start()
            return server, port
        except RuntimeError:  # the port was taken meanwhile
            continue
    raise RuntimeError("no free loopback port")


def run_case(mode, viewers, units, seconds, loadgen):
    """(worst stall ms, median of the per-second worsts ms, keyframe send_frame ms)."""
    worsts = []

    def loop(server):
        server_process.control_loop(server, units, media.FPS, seconds,
                                    report=lambda stall, _: worsts.append(stall))

    if mode == "idle":
        loop(NoServer())
        return max(worsts), statistics.median(worsts), []
    server, port = started(rtsp.Server if mode == "in-process" else server_process.ServerProcess)
    timed = TimedKeyframes(server)
    try:
        with fanout.Child([loadgen, "--url", f"rtsp://127.0.0.1:{port}/stream",
                           "--viewers", viewers, "--max-seconds", 60 + seconds]) as generator:
            words = generator.readline(timeout=90).split()
            if not words or words[0] != "playing":
                raise RuntimeError(f"loadgen: {' '.join(words)}")
            loop(timed)
    finally:
        server.stop()
    return max(worsts), statistics.median(worsts), timed.keyframe_ms


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--loadgen", required=True)
    parser.add_argument("--viewers", type=int, default=20, help="viewers of the stall comparison")
    parser.add_argument("--keyframe-viewers", default="1,5,10,20,50",
                        help="viewer counts for the in-process keyframe cost")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--media-dir", default="build/bench-media")
    parser.add_argument("--realtime", action="store_true",
                        help="run this process's threads under SCHED_FIFO (root), so that other "
                             "work on the machine does not show as stalls; children run as usual")
    args = parser.parse_args()
    if args.realtime:
        os.sched_setscheduler(0, os.SCHED_FIFO | os.SCHED_RESET_ON_FORK, os.sched_param(10))
    units = media.access_units(media.stream(args.media_dir))
    seconds = min(max(args.seconds, 2.0), 60.0)
    cases = [("idle", 0), ("child process", args.viewers)]
    cases += [("in-process", int(n)) for n in args.keyframe_viewers.split(",")]
    if ("in-process", args.viewers) not in cases:
        cases.append(("in-process", args.viewers))
    results = {}
    for round_index in range(max(1, min(args.repeat, 10))):
        for mode, viewers in cases:
            worst, typical, keyframes = run_case(mode, viewers, units, seconds, args.loadgen)
            results.setdefault((mode, viewers), []).append((worst, typical, keyframes))
            keyframe = (f", keyframe send_frame median {statistics.median(keyframes):.1f} ms"
                        if keyframes else "")
            print(f"round {round_index + 1}: {mode:13} N={viewers:<3} worst stall {worst:.2f} ms, "
                  f"per-second worst median {typical:.2f} ms{keyframe}", file=sys.stderr, flush=True)

    rows = []
    for (mode, viewers), rounds in results.items():
        rows.append((mode, viewers, spread([r[0] for r in rounds], 2),
                     f"{statistics.median(r[1] for r in rounds):.2f} ms",
                     spread([k for r in rounds for k in r[2]]) if mode != "idle" else "-"))
    print(table(("loop beside", "viewers", "worst stall, median of rounds (min-max)",
                 "per-second worst, median", "send_frame call for keyframes, median (min-max)"),
                rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
