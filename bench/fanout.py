"""Fan-out: one live stream to N loopback viewers, this server beside GStreamer's.

For each N and each server, in alternating order: start the server in its
own process (bench/serve_ours.py or bench/peers/gst_rtsp_server.py, both
fed the same file in real time), bring N viewers to PLAY with the C++ load
generator (bench/loadgen), let the stream settle, then measure for a fixed
window: the server process's CPU seconds per second (user + system, from
/proc, all its threads), what the viewers received and lost (RTP sequence
numbers), and from our feeder the time each send_frame took and the late
frames. Loopback delivery runs the receiving socket's work in the sender's
context, so the CPU figure includes it, for both servers alike. With
--steer the cases run in a network namespace of their own whose loopback
hands every received packet to the second core (receive packet steering),
the server pinned to the first core and the load generator to the second:
the server is then charged with its sending only, as it would be with its
viewers on other hosts (needs root, iproute2 and two cores).

    PYTHONPATH=<build>/python python3 bench/fanout.py --loadgen <build>/bench/loadgen FILE.h264
"""

import argparse
import json
import os
import pathlib
import select
import signal
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
SERVERS = {
    "ours": HERE / "serve_ours.py",
    "gstreamer": HERE / "peers" / "gst_rtsp_server.py",
}
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


class Child:
    """A child process spoken to by lines on its standard input and output.
    Closing it ends its input and, if it has not gone by itself within a few
    seconds, kills it by its process id."""

    def __init__(self, command):
        self.errors = tempfile.TemporaryFile()  # a file, so a chatty child never blocks
        self.process = subprocess.Popen(
            [str(c) for c in command], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=self.errors, bufsize=0)
        self.pending = b""

    @property
    def pid(self):
        return self.process.pid

    def send(self, line):
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()

    def readline(self, timeout):
        deadline = time.monotonic() + timeout
        fd = self.process.stdout.fileno()
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise TimeoutError(f"{self.process.args[:2]}: no answer within {timeout} s")
            chunk = os.read(fd, 65536)
            if not chunk:
                self.errors.seek(0)
                err = self.errors.read().decode(errors="replace")[-2000:]
                raise RuntimeError(f"{self.process.args[:2]} ended: {err}")
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode()

    def close(self):
        try:
            self.process.stdin.close()
        except OSError:
            pass
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            os.kill(self.process.pid, signal.SIGKILL)
            self.process.wait(timeout=5)
        self.process.stdout.close()
        self.errors.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class ReceiveSteering:
    """A network namespace whose loopback does its receive work on the second
    core; commands are run in it through the prefixes, pinned to a core."""

    def __init__(self):
        if (os.cpu_count() or 1) < 2:
            raise RuntimeError("--steer needs two cores")
        self.name = f"rtsp-bench-{os.getpid()}"

    def __enter__(self):
        subprocess.run(["ip", "netns", "add", self.name], check=True)
        try:
            subprocess.run(["ip", "-n", self.name, "link", "set", "lo", "up"], check=True)
            subprocess.run(["ip", "netns", "exec", self.name, "sh", "-c",
                            "echo 2 > /sys/class/net/lo/queues/rx-0/rps_cpus"], check=True)
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        subprocess.run(["ip", "netns", "del", self.name], check=False)

    def server(self):
        return ["ip", "netns", "exec", self.name, "taskset", "-c", "0"]

    def viewers(self):
        return ["ip", "netns", "exec", self.name, "taskset", "-c", "1"]


def start_server(name, stream_file, python=sys.executable, prefix=()):
    """The named server's process, fed `stream_file`, and its RTSP port."""
    child = Child([*prefix, python, SERVERS[name], stream_file])
    try:
        words = child.readline(timeout=60).split()
        if len(words) != 2 or words[0] != "listening":
            raise RuntimeError(f"{name}: unexpected first line {' '.join(words)!r}")
        return child, int(words[1])
    except BaseException:
        child.close()
        raise


def cpu_seconds(pid):
    """User plus system CPU time of a process and all its threads."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime, stime


def udp_rcvbuf_errors():
    """Host-wide UDP datagrams dropped for a full receive buffer."""
    with open("/proc/net/snmp") as snmp:
        rows = [line.split() for line in snmp if line.startswith("Udp:")]
    return int(rows[1][rows[0].index("RcvbufErrors")])


def run_case(name, stream_file, viewers, seconds, loadgen, settle=1.0, steering=None):
    """One server, one number of viewers: the figures of one window."""
    server, port = start_server(name, stream_file,
                                prefix=steering.server() if steering else ())
    with server:
        bound = 120 + seconds + viewers  # the load generator's own hard stop
        with Child([*(steering.viewers() if steering else ()), loadgen, "--url", f"rtsp://127.0.0.1:{port}/stream", "--viewers", viewers,
                    "--max-seconds", bound]) as generator:
            words = generator.readline(timeout=90).split()
            if not words or words[0] != "playing":
                raise RuntimeError(f"loadgen: {' '.join(words)}")
            setup_seconds = float(words[2])
            time.sleep(settle)
            generator.send("mark")
            server.send("mark")
            drops_before = udp_rcvbuf_errors()
            cpu_before, began = cpu_seconds(server.pid), time.monotonic()
            time.sleep(seconds)
            cpu_after, ended = cpu_seconds(server.pid), time.monotonic()
            drops_after = udp_rcvbuf_errors()
            server.send("report")
            generator.send("report")
            feed = json.loads(server.readline(timeout=30))
            received = json.loads(generator.readline(timeout=30))
    return {
        "server": name,
        "viewers": viewers,
        "cpu_per_second": (cpu_after - cpu_before) / (ended - began),
        "setup_seconds": setup_seconds,
        "rcvbuf_drops": drops_after - drops_before,
        "feed": feed,
        "received": received,
    }


def loss_fraction(case):
    received = case["received"]
    return received["lost"] / received["expected"] if received["expected"] else 0.0


def measure(stream_file, counts, seconds, loadgen, repeat=1, log=None, steer=False):
    """Every case, our server and GStreamer's alternating in which goes first.
    Gives {(server, viewers): [case, ...]}."""
    if steer:
        with ReceiveSteering() as steering:
            return _measure(stream_file, counts, seconds, loadgen, repeat, log, steering)
    return _measure(stream_file, counts, seconds, loadgen, repeat, log, None)


def _measure(stream_file, counts, seconds, loadgen, repeat, log, steering):
    results = {}
    order = list(SERVERS)
    for round_index in range(repeat):
        for step, viewers in enumerate(counts):
            names = order if (round_index + step) % 2 == 0 else order[::-1]
            for name in names:
                case = run_case(name, stream_file, viewers, seconds, loadgen, steering=steering)
                results.setdefault((name, viewers), []).append(case)
                if log:
                    log(f"fan-out {name:9} N={viewers:<3} cpu {case['cpu_per_second']:.3f} s/s, "
                        f"loss {100 * loss_fraction(case):.3f}%, "
                        f"send_frame p99 {case['feed']['send_p99_ms']:.1f} ms")
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("file")
    parser.add_argument("--loadgen", required=True)
    parser.add_argument("--viewers", default="1,10,50,100,200")
    parser.add_argument("--seconds", type=float, default=6.0)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--steer", action="store_true",
                        help="viewers' receive work on the second core (root)")
    args = parser.parse_args()
    counts = [int(n) for n in args.viewers.split(",")]
    results = measure(args.file, counts, min(max(args.seconds, 0.5), 60.0), args.loadgen,
                      max(1, min(args.repeat, 10)), log=lambda line: print(line, file=sys.stderr),
                      steer=args.steer)
    print(json.dumps({f"{name} {n}": cases for (name, n), cases in results.items()}, indent=1))


if __name__ == "__main__":
    main()
