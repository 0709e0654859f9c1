"""Keep a control loop's interpreter lock free: the server in a child process.

    .venv/bin/python examples/server_process.py clip.h264 [--bind 0.0.0.0:8554]
                                                [--fps 30] [--seconds N]

(`.venv/bin/python` after scripts/setup, or any python3 with the module
installed, see the README; clip.h264 as for push_frames.py.)
`rtsp.Server.send_frame` sends every packet to every viewer before it
returns, holding the interpreter lock: a keyframe of a 1080p stream to 20
viewers keeps every other thread of the process waiting for several
milliseconds. A program whose own loop must run every millisecond (a robot,
a game, a controller) runs the server in a child process instead:
`ServerProcess.send_frame` only queues the frame, a thread of this process
writes it into a pipe (without the lock while the pipe is full), and the
child hands it to its own `rtsp.Server`.

This example loops the file into a ServerProcess from a 1 kHz loop and
prints, every second, the viewers and the loop's worst stall.
"""

from __future__ import annotations

import argparse
import itertools
import multiprocessing
import queue
import signal
import threading
import time
from multiprocessing.connection import Connection
from typing import Callable, Iterable, NamedTuple, Protocol, Sized

import launch
import rtsp


class Viewer(NamedTuple):
    """The child's view of one playing client, with the fields of rtsp.Viewer."""
    session_id: str
    uri: str
    client_addr: str
    client_rtp_port: int


def _serve(frames: Connection, events: Connection, bind_addr: str) -> None:
    """The child: an rtsp.Server fed from `frames` until the parent goes."""
    # Ctrl-C in a terminal reaches the whole process group; the parent ends us.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    server = rtsp.Server(bind_addr)
    try:
        server.start()
    except RuntimeError as err:
        events.send(("error", str(err)))
        return
    events.send(("started", None))
    known: list[Viewer] = []
    try:
        while True:
            try:
                data, increment = frames.recv()
            except EOFError:  # the parent stopped us, or is gone
                return
            server.send_frame(data, increment)
            viewers = [Viewer(v.session_id, v.uri, v.client_addr, v.client_rtp_port)
                       for v in server.get_viewers()]
            if viewers != known:
                events.send(("viewers", viewers))
                known = viewers
    finally:
        server.stop()


class ServerProcess:
    """An rtsp.Server in a child process, with the calls a producer needs.

    send_frame() returns at once, whatever the child is doing; get_viewers()
    returns the list the child last reported (after its latest frame)."""

    def __init__(self, bind_addr: str = "0.0.0.0:8554") -> None:
        context = multiprocessing.get_context("spawn")  # no fork of a threaded parent
        child_frames, self._frames = context.Pipe(duplex=False)  # (receiving, sending) end
        self._events, child_events = context.Pipe(duplex=False)
        self._child_ends = (child_frames, child_events)
        self._process = context.Process(target=_serve, args=(*self._child_ends, bind_addr),
                                        name="rtsp-server", daemon=True)
        # Frames for the child; None tells the writing thread to finish.
        self._queue: queue.SimpleQueue[tuple[bytes, int] | None] = queue.SimpleQueue()
        self._viewers: list[Viewer] = []
        self._threads: list[threading.Thread] = []

    def start(self) -> None:
        """Starts the child; RuntimeError with the server's message if it cannot listen."""
        self._process.start()
        for end in self._child_ends:
            end.close()
        if not self._events.poll(30):
            self._end_child()
            raise RuntimeError("the server process did not start")
        kind, message = self._events.recv()
        if kind == "error":
            self._end_child()
            raise RuntimeError(message)
        self._threads = [threading.Thread(target=self._write_frames, name="frames", daemon=True),
                         threading.Thread(target=self._read_events, name="events", daemon=True)]
        for thread in self._threads:
            thread.start()

    def send_frame(self, data: bytes, timestamp_increment: int) -> None:
        """Queues one access unit for the child's rtsp.Server.send_frame."""
        self._queue.put((data, timestamp_increment))

    def get_viewers(self) -> list[Viewer]:
        return list(self._viewers)

    def stop(self) -> None:
        """Sends what is queued, then ends the child (its server stops)."""
        self._queue.put(None)
        for thread in self._threads:
            thread.join(5)
        self._end_child()

    def _write_frames(self) -> None:
        try:
            while (item := self._queue.get()) is not None:
                self._frames.send(item)  # blocks, without the lock, while the pipe is full
        except OSError:
            pass  # the child is gone; stop() reports nothing more
        finally:
            self._frames.close()  # the child sees the end and stops its server

    def _read_events(self) -> None:
        try:
            while True:
                kind, value = self._events.recv()
                if kind == "viewers":
                    self._viewers = value
        except (EOFError, OSError):
            pass

    def _end_child(self) -> None:
        self._frames.close()
        self._process.join(5)
        if self._process.is_alive():
            self._process.kill()
            self._process.join()


class FrameSink(Protocol):
    """What control_loop feeds: an rtsp.Server or a ServerProcess."""

    def send_frame(self, data: bytes, timestamp_increment: int) -> object: ...
    def get_viewers(self) -> Sized: ...


def control_loop(server: FrameSink, frames: Iterable[bytes], fps: int,
                 seconds: float | None = None,
                 report: Callable[[float, int], object] = print,
                 period: float = 0.001) -> None:
    """A loop that runs every `period` seconds, standing in for a program's
    own work, and hands `server` the next frame whenever one is due. Each
    second it calls report(worst stall in ms, viewers): a stall is how much
    later than planned an iteration came round."""
    increment = 90000 // fps
    looped = itertools.cycle(frames)
    start = tick = next_report = time.monotonic()
    next_frame = start
    worst = 0.0
    while seconds is None or tick - start < seconds:
        time.sleep(period)
        now = time.monotonic()
        worst = max(worst, now - tick - period)
        tick = now
        if now >= next_frame:
            server.send_frame(next(looped), increment)
            next_frame += 1 / fps
        if now >= next_report + 1:
            report(worst * 1000, len(server.get_viewers()))
            worst = 0.0
            next_report = now


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__ and __doc__.splitlines()[0])
    parser.add_argument("file", help="Annex B H.264 file to loop")
    launch.add_bind_option(parser)
    launch.add_fps_option(parser)
    parser.add_argument("--seconds", type=float, default=None, help="stop after this long")
    args = parser.parse_args(argv)

    frames = launch.load_stream(args.file)
    server = launch.start_server(args.bind, server_class=ServerProcess)
    print(f"serving {args.file} at {launch.watch_url(args.bind)} from a child process", flush=True)
    try:
        control_loop(server, frames, args.fps, args.seconds,
                     report=lambda stall, viewers: print(
                         f"viewers {viewers}  worst stall of the 1 ms loop {stall:.2f} ms",
                         flush=True))
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    launch.run(main)
