"""What the browser suite runs its players in: a network namespace of its
own, child processes ended by PID, a virtual X display and a screen grabber
that reads the stamp of what is on it, and the figures made of the stamps."""

import ctypes
import os
import signal
import subprocess
import threading
import time

import numpy as np

from stamping_source import BLOCK, STRIP_WIDTH, read_stamp

CLONE_NEWNET = 0x40000000
_libc = ctypes.CDLL(None, use_errno=True)


def _setns(path):
    descriptor = os.open(path, os.O_RDONLY)
    try:
        if _libc.setns(descriptor, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), f"setns {path}")
    finally:
        os.close(descriptor)


class Namespace:
    """A network namespace with only loopback up, which the calling thread
    enters: what it starts from then on (threads, sockets, child processes)
    lives there, so no packet of a test leaves the host. leave() returns the
    thread to where it was and deletes the namespace by name."""

    PREFIX = "rtsp-browser-"

    def __init__(self):
        self.sweep()
        self.name = f"{self.PREFIX}{os.getpid()}"
        subprocess.run(["ip", "netns", "add", self.name], check=True, timeout=10)
        try:
            subprocess.run(["ip", "-n", self.name, "link", "set", "lo", "up"], check=True,
                           timeout=10)
            self.home = f"/proc/{os.getpid()}/task/{threading.get_native_id()}/ns/net"
            self.home_fd = os.open(self.home, os.O_RDONLY)
            _setns(f"/run/netns/{self.name}")
        except BaseException:
            subprocess.run(["ip", "netns", "delete", self.name], timeout=10)
            raise

    @classmethod
    def sweep(cls):
        """Deletes the namespaces of runs killed before they could: those
        named after a process that is gone (PREFIX, its PID, and for the
        others it made, a dash and a word)."""
        listing = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True,
                                 timeout=10).stdout
        for name in (line.split()[0] for line in listing.splitlines() if line.strip()):
            pid = name[len(cls.PREFIX):].partition("-")[0]
            if name.startswith(cls.PREFIX) and pid.isdigit() and not os.path.exists(f"/proc/{pid}"):
                subprocess.run(["ip", "netns", "delete", name], timeout=10)

    def leave(self):
        if _libc.setns(self.home_fd, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns back")
        os.close(self.home_fd)
        subprocess.run(["ip", "netns", "delete", self.name], check=True, timeout=10)


def descendants(pid):
    """The PIDs of every living descendant of `pid`."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    parent = int(stat.read().rpartition(")")[2].split()[1])
            except (OSError, ValueError, IndexError):
                continue
            children.setdefault(parent, []).append(int(entry))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def kill_all(pids):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


class Child:
    """A child process whose stdout lines go to `on_line` (from a thread of
    its own) and are kept; stop() ends it and whatever it started, by PID."""

    def __init__(self, command, on_line=None, env=None):
        self.lines = []
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, env=env)
        self.pid = self.process.pid
        self.stderr = []
        self._on_line = on_line
        self._readers = [threading.Thread(target=self._read, args=(self.process.stdout, True)),
                         threading.Thread(target=self._read, args=(self.process.stderr, False))]
        for reader in self._readers:
            reader.start()

    def _read(self, stream, is_stdout):
        for line in stream:
            line = line.rstrip("\n")
            if is_stdout:
                self.lines.append(line)
                if self._on_line:
                    self._on_line(line)
            else:
                self.stderr.append(line)

    def wait_line(self, prefix, timeout):
        """The first stdout line starting with `prefix`, within `timeout` s;
        an AssertionError with the child's stderr otherwise."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for line in list(self.lines):
                if line.startswith(prefix):
                    return line
            if self.process.poll() is not None and not self._readers[0].is_alive():
                break
            time.sleep(0.02)
        raise AssertionError(f"no {prefix!r} line from {self.process.args[:3]}: "
                             f"exit {self.process.poll()}, stderr {self.stderr[-10:]}")

    def stop(self, timeout=10):
        """SIGTERM, then SIGKILL after `timeout` s; returns the exit status.
        Kills the descendants it leaves behind."""
        family = descendants(self.pid)
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout)
        kill_all(family + descendants(self.pid))
        for reader in self._readers:
            reader.join(timeout)
        return self.process.returncode


class Display:
    """Xvfb with a black screen of `width`x`height`, and a grabber that reads
    the stamp strip in its top-left corner `fps` times a second: `seen` maps
    each index to the wall-clock time of the first grab that showed it."""

    def __init__(self, width=640, height=360, fps=200):
        read_end, write_end = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{width}x{height}x24",
             "-nolisten", "tcp", "-br", "-noreset"],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as announced:
            number = announced.readline().strip()
        assert number, "Xvfb announced no display"
        self.name = f":{number}"
        self.seen = {}
        self.blank = 0  # grabs that showed no valid stamp
        self.grabs = 0
        self.grabber = subprocess.Popen(
            ["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "x11grab", "-draw_mouse", "0",
             "-framerate", str(fps), "-video_size", f"{STRIP_WIDTH}x{BLOCK}", "-i",
             f"{self.name}+0,0", "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "gray",
             "-flush_packets", "1",
             "-"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        size = STRIP_WIDTH * BLOCK
        stream = self.grabber.stdout
        while True:
            grab = stream.read(size)
            when = time.time()
            if len(grab) < size:
                return
            index = read_stamp(np.frombuffer(grab, np.uint8).reshape(BLOCK, STRIP_WIDTH))
            self.grabs += 1
            if index is None:
                self.blank += 1
            else:
                self.seen.setdefault(index, when)
            self.current = index

    current = None  # the index the last grab showed

    def close(self):
        for process in (self.grabber, self.server):
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(10)
        self._reader.join(10)


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def summary(values_ms):
    """p50 / p95 / max of values in milliseconds, as a dict and a line."""
    figures = {"p50": percentile(values_ms, 0.50), "p95": percentile(values_ms, 0.95),
               "max": max(values_ms)}
    return figures, " / ".join(f"{figures[k]:.0f}" for k in ("p50", "p95", "max")) + " ms"


def latencies_ms(sent, presented):
    """send_frame-to-screen latency of every presented index that was sent:
    `sent` and `presented` map index to wall-clock seconds."""
    return [(presented[i] - sent[i]) * 1000 for i in presented if i in sent]
