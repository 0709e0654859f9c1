"""What one client can take from everyone: floods of sessions and of
connections, clients that never read, and viewers every datagram to which is
refused (each failure once logged), against a host program in its own
process (host_program.py) that sends 30 frames a second throughout. Loopback
only; the attackers use 127.0.0.3 and 127.0.0.4, the legitimate clients
127.0.0.1 and 127.0.0.2. Bounded in count and time; prints its figures."""

import collections
import json
import os
import pathlib
import re
import resource
import select
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

from support import child_env, free_port

HOST_PROGRAM = pathlib.Path(__file__).with_name("host_program.py")
# How long a client that never reads may take to be ended before the test
# gives up on it.
NEVER_READS_BOUND_S = float(os.environ.get("RTSP_NEVER_READS_BOUND_S", "25"))


def raise_descriptor_limit(to=8192):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, to)), hard))


class Host:
    """host_program.py on a free port; ask() sends a command, returns its answer."""

    def __init__(self, nofile=None, frame_bytes=None):
        self.port = free_port()
        command = [sys.executable, str(HOST_PROGRAM), str(self.port)]
        if nofile:
            command += ["--nofile", str(nofile)]
        if frame_bytes:
            command += ["--frame-bytes", str(frame_bytes)]
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, env=child_env())
        assert json.loads(self.process.stdout.readline())["ready"]

    def ask(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        try:
            self.process.stdin.write("quit\n")
            self.process.stdin.close()
            self.process.wait(10)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()


def connect(port, source, timeout=5):
    sock = socket.socket()
    sock.bind((source, 0))
    sock.settimeout(timeout)
    sock.connect(("127.0.0.1", port))
    return sock


def request(method, port, cseq, *headers):
    lines = [f"{method} rtsp://127.0.0.1:{port}/stream/track1 RTSP/1.0", f"CSeq: {cseq}", *headers]
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


def setup_request(port, cseq, rtp_port):
    return request("SETUP", port, cseq, f"Transport: RTP/AVP;unicast;client_port={rtp_port}-{rtp_port + 1}")


class Answers:
    """Reads pipelined answers (heads only: none of ours has a body)."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""

    def read(self, count):
        answers = []
        while len(answers) < count:
            end = self.buffer.find(b"\r\n\r\n")
            if end < 0:
                chunk = self.sock.recv(65536)
                assert chunk, "server closed the connection"
                self.buffer += chunk
                continue
            head, self.buffer = self.buffer[:end].decode(), self.buffer[end + 4:]
            status = int(head.split(" ", 2)[1])
            session = re.search(r"\r\nSession: ([^;\r]+)", head)
            answers.append((status, session.group(1) if session else None))
        return answers


class Viewer:
    """A legitimate player on 127.0.0.1 that counts its RTP packets."""

    def __init__(self, port, rcvbuf=None):
        self.rtp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        if rcvbuf:
            self.rtp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.rtp.bind(("127.0.0.1", 0))
        self.rtp.setblocking(False)
        self.control = connect(port, "127.0.0.1")
        answers = Answers(self.control)
        self.control.sendall(setup_request(port, 1, self.rtp.getsockname()[1]))
        [(status, session)] = answers.read(1)
        assert status == 200
        self.control.sendall(request("PLAY", port, 2, f"Session: {session}"))
        assert answers.read(1)[0][0] == 200

    def drain(self):
        """The sequence numbers received since the last call."""
        seqs = []
        while True:
            try:
                packet = self.rtp.recv(65536)
            except BlockingIOError:
                return seqs
            seqs.append(int.from_bytes(packet[2:4], "big"))

    def close(self):
        self.control.close()
        self.rtp.close()


def lost(seqs):
    return sum((b - a) % 65536 - 1 for a, b in zip(seqs, seqs[1:]))


def most_in_one_second(times):
    """The most of `times` (seconds) that fall within one second."""
    times = sorted(times)
    return max((sum(1 for t in times[i:] if t - first < 1.0) for i, first in enumerate(times)),
               default=0)


def test_refused_viewers_cost_a_few_log_records_and_the_others_nothing():
    raise_descriptor_limit()
    packets = 6  # per frame, as a 720p delta frame might be
    with Host(frame_bytes=5 * 1400 + 700) as host:
        # With room for seconds of packets, should this busy process fall behind.
        viewers = [Viewer(host.port, rcvbuf=4 << 20) for _ in range(50)]
        seqs = [[] for _ in viewers]

        def window(seconds=3):
            host.ask("mark")
            until = time.monotonic() + seconds
            while time.monotonic() < until:
                for index, viewer in enumerate(viewers):
                    seqs[index] += viewer.drain()
                time.sleep(0.1)
            return host.ask("stats")

        alone = window()
        refused = []
        for _ in range(50):
            sock = connect(host.port, "127.0.0.3")
            answers = Answers(sock)
            sock.sendall(setup_request(host.port, 1, 0))  # the kernel refuses RTP to port 0
            [(status, session)] = answers.read(1)
            sock.sendall(request("PLAY", host.port, 2, f"Session: {session}"))
            assert status == 200 and answers.read(1)[0][0] == 200
            refused.append(sock)
        no_sink = window()
        host.ask("log on")
        began = time.time()
        with_sink = window()
        for sock in refused:  # their sessions end, each reporting what is left
            sock.close()
        while host.ask("stats")["viewers"] > len(viewers):
            time.sleep(0.01)
        host.ask("log off")
        records = host.ask("failed sends")
        seconds = time.time() - began
        for viewer in viewers:
            viewer.close()

    counts = [len(sent) for sent in records.values()]
    # A session's last record may be the one its end adds.
    per_second = max((most_in_one_second([t for t, _ in sent[:-1]]) for sent in records.values()),
                     default=0)
    print(f"\n50 viewers refused (client_port 0) beside 50 healthy, {packets} packets a frame: "
          f"send_frame p50 healthy alone {alone['p50_ms']:.3f} ms, with the refused "
          f"{no_sink['p50_ms']:.3f} ms without a sink, {with_sink['p50_ms']:.3f} ms with warnings "
          f"routed to logging (x{with_sink['p50_ms'] / no_sink['p50_ms']:.2f}); "
          f"{sum(counts)} records in {seconds:.1f} s for {with_sink['frames']} frames timed, "
          f"{len(records)} sessions, at most {max(counts, default=0)} each and {per_second} in one "
          f"second (besides the one at its end); healthy "
          f"viewers {sum(map(len, seqs))} packets, lost {sum(lost(s) for s in seqs)}")
    assert len(records) == 50
    assert per_second <= 2
    assert max(counts) <= 2 * seconds
    for sent in records.values():
        # Every failed datagram of the timed frames is counted in some record.
        assert sum(failed for _, failed in sent) >= packets * with_sink["frames"]
    frames = alone["frames"] + no_sink["frames"] + with_sink["frames"]
    for viewer_seqs in seqs:
        assert lost(viewer_seqs) == 0
        # The last frame of a window may still be on its way.
        assert len(viewer_seqs) >= packets * (frames - 3)


def test_session_flood_on_one_connection_is_refused_at_the_limit():
    with Host() as host:
        viewer = Viewer(host.port)
        time.sleep(0.5)
        viewer.drain()
        host.ask("mark")
        time.sleep(3)
        quiet = host.ask("stats")
        quiet_seqs = viewer.drain()

        flooder = connect(host.port, "127.0.0.3")
        answers = Answers(flooder)
        statuses = collections.Counter()
        host.ask("mark")
        began = time.monotonic()
        for batch in range(20):
            flooder.sendall(b"".join(setup_request(host.port, batch * 1000 + i, 9000)
                                     for i in range(1000)))
            statuses.update(status for status, _ in answers.read(1000))
        flood_seconds = time.monotonic() - began
        time.sleep(max(0.0, 3 - flood_seconds))
        flooded = host.ask("stats")
        flood_seqs = viewer.drain()
        flooder.close()
        viewer.close()

    print(f"\nsession flood, 20,000 SETUPs on one connection in {flood_seconds:.2f} s: "
          f"answers {dict(statuses)}; send_frame p50/p99 quiet {quiet['p50_ms']:.3f}/"
          f"{quiet['p99_ms']:.3f} ms, flooded {flooded['p50_ms']:.3f}/{flooded['p99_ms']:.3f} ms "
          f"(p99 x{flooded['p99_ms'] / quiet['p99_ms']:.2f}); without the calls the scheduler "
          f"preempted ({quiet['preempted']} quiet, {flooded['preempted']} flooded) "
          f"{quiet['p99_running_ms']:.3f}/{flooded['p99_running_ms']:.3f} ms; calls that waited "
          f"{quiet['waited']}/{flooded['waited']}; viewer {len(quiet_seqs)} packets "
          f"in {quiet['frames']} frames quiet, {len(flood_seqs)} in {flooded['frames']} flooded, "
          f"lost {lost(quiet_seqs + flood_seqs)}; RSS {quiet['rss_kib']} -> {flooded['rss_kib']} KiB")
    assert statuses == {200: 16, 503: 19984}
    # Pipelined requests are answered as fast as they come (about 0.2 s here).
    assert flood_seconds < 5
    assert lost(quiet_seqs + flood_seqs) == 0
    assert len(flood_seqs) >= flooded["frames"] - 2 and flooded["frames"] >= 85
    # The flood must never make the caller wait for the server: a call that
    # waits on a lock sleeps of its own accord (a lock held 20 us per refused
    # SETUP makes about ten calls wait). Its time is judged apart from the
    # calls the scheduler preempted, which measure the machine (4 ms beside a
    # busy process); the 3 ms are for the interrupts the flood's traffic takes
    # on the host's cores (1.8 ms seen on a shared machine).
    assert flooded["waited"] <= 2
    assert flooded["preempted"] <= flooded["frames"] // 2
    assert flooded["p99_running_ms"] <= 2 * quiet["p99_running_ms"] + 3.0
    assert flooded["rss_kib"] - quiet["rss_kib"] < 4 * 1024


def test_sessions_from_many_connections_stop_at_the_server_limit_and_clean_up_fast():
    raise_descriptor_limit()
    with Host() as host:
        viewer = Viewer(host.port)
        sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)  # the flood's RTP goes here
        sink.bind(("127.0.0.3", 0))
        sink_port = sink.getsockname()[1]
        before = host.ask("stats")
        connections = []
        statuses = collections.Counter()
        began = time.monotonic()
        for _ in range(260):
            sock = connect(host.port, "127.0.0.3")
            answers = Answers(sock)
            sock.sendall(b"".join(setup_request(host.port, i, sink_port) for i in range(16)))
            set_up = answers.read(16)
            statuses.update(status for status, _ in set_up)
            ids = [session for status, session in set_up if status == 200]
            sock.sendall(b"".join(request("PLAY", host.port, 100 + i, f"Session: {session}")
                                  for i, session in enumerate(ids)))
            assert all(status == 200 for status, _ in answers.read(len(ids)))
            connections.append(sock)
        setup_seconds = time.monotonic() - began
        host.ask("mark")
        time.sleep(2)
        playing = host.ask("stats")

        for sock in connections:
            sock.close()
        closed = time.monotonic()
        while host.ask("stats")["viewers"] > 1 and time.monotonic() - closed < 10:
            time.sleep(0.01)
        cleanup_seconds = time.monotonic() - closed
        after = host.ask("stats")
        viewer.close()
        sink.close()

    print(f"\n260 connections x 16 SETUPs from one address in {setup_seconds:.2f} s: answers "
          f"{dict(statuses)}; {playing['viewers']} playing: send_frame p50/p99 "
          f"{playing['p50_ms']:.2f}/{playing['p99_ms']:.2f} ms; RSS {before['rss_kib']} -> "
          f"{playing['rss_kib']} KiB; all cleaned up {cleanup_seconds * 1e3:.0f} ms after closing")
    assert statuses == {200: 4095, 503: 260 * 16 - 4095}
    # Pipelined answers go out at once (they once waited 40 ms each for an
    # acknowledgement).
    assert setup_seconds < 5
    assert playing["viewers"] == 4096
    assert after["viewers"] == 1
    assert cleanup_seconds < 1.0


def alive(sock):
    ready = select.poll()
    ready.register(sock, select.POLLIN)
    for _, events in ready.poll(0):
        if events & (select.POLLERR | select.POLLHUP):
            return False
        try:
            if sock.recv(4096, socket.MSG_DONTWAIT | socket.MSG_PEEK) == b"":
                return False
        except BlockingIOError:
            pass
        except OSError:
            return False
    return True


def test_connection_flood_from_one_address_leaves_room_for_others():
    raise_descriptor_limit()
    with Host(nofile=1024) as host:
        time.sleep(0.3)
        base = host.ask("stats")
        stop = threading.Event()
        probes = []

        def probe():
            while not stop.is_set():
                began = time.perf_counter()
                try:
                    with connect(host.port, "127.0.0.2", timeout=2) as sock:
                        sock.sendall(request("OPTIONS", host.port, 1))
                        status = Answers(sock).read(1)[0][0]
                except (OSError, AssertionError):  # no answer, or closed unanswered
                    status = None
                probes.append((status, time.perf_counter() - began))
                time.sleep(0.05)

        prober = threading.Thread(target=probe)
        prober.start()
        flood = []
        opened = 0
        until = time.monotonic() + 4
        try:
            while time.monotonic() < until:
                flood = [sock for sock in flood if alive(sock) or sock.close()]
                while len(flood) < 1000 and time.monotonic() < until:
                    opened += 1
                    try:
                        sock = connect(host.port, "127.0.0.3", timeout=0.5)
                    except OSError:  # refused before connect() returned, or no answer
                        continue
                    try:
                        sock.sendall(setup_request(host.port, 1, 9000))
                    except OSError:
                        pass
                    flood.append(sock)
                time.sleep(0.1)
            peak = host.ask("stats")
        finally:
            stop.set()
            prober.join(10)
            for sock in flood:
                sock.close()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            after = host.ask("stats")
            if after["threads"] <= base["threads"] and after["descriptors"] <= base["descriptors"]:
                break
            time.sleep(0.1)

        # The listener off the CPU while one address keeps connecting (the
        # whole host stopped): the kernel must still queue another client's
        # connection, or it waits a second for its retransmission.
        held = []
        os.kill(host.process.pid, signal.SIGSTOP)
        try:
            for _ in range(300):
                sock = socket.socket()
                held.append(sock)
                sock.bind(("127.0.0.3", 0))
                sock.setblocking(False)
                sock.connect_ex(("127.0.0.1", host.port))
            time.sleep(0.1)
            try:
                late = connect(host.port, "127.0.0.2", timeout=0.5)
            except TimeoutError:
                late = None
        finally:
            os.kill(host.process.pid, signal.SIGCONT)
        assert late, "a connection from another address was dropped while the listener was stalled"
        with late:
            late.sendall(request("OPTIONS", host.port, 1))
            assert Answers(late).read(1)[0][0] == 200
        for sock in held:
            sock.close()

    latencies = [seconds * 1e3 for _, seconds in probes]
    print(f"\nconnection flood from one address, soft descriptor limit 1024: {opened} "
          f"connections opened in 4 s; server threads {base['threads']} -> {peak['threads']} -> "
          f"{after['threads']}, descriptors {base['descriptors']} -> {peak['descriptors']} -> "
          f"{after['descriptors']}, RSS {base['rss_kib']} -> {peak['rss_kib']} -> "
          f"{after['rss_kib']} KiB; other address: {len(probes)} OPTIONS, "
          f"{sum(status != 200 for status, _ in probes)} unanswered, median "
          f"{statistics.median(latencies):.2f} ms, slowest {max(latencies):.2f} ms")
    assert len(probes) >= 20 and all(status == 200 for status, _ in probes)
    assert max(latencies) < 100
    # Half of the 480 connections this limit allows, each a thread and two descriptors.
    assert peak["threads"] - base["threads"] <= 241
    assert peak["descriptors"] - base["descriptors"] <= 2 * 241
    assert after["threads"] <= base["threads"] and after["descriptors"] <= base["descriptors"]
    assert after["rss_kib"] - base["rss_kib"] < 8 * 1024


def server_socket_memory_kib(port):
    """Receive and send memory of the server's established sockets, per ss."""
    out = subprocess.run(["ss", "-tmnH", "state", "established", f"sport = :{port}"],
                         capture_output=True, text=True, check=True).stdout
    total = 0
    for rmem, wmem in re.findall(r"skmem:\(r(\d+),rb\d+,t(\d+),", out):
        total += int(rmem) + int(wmem)
    return total / 1024


def machine_tcp_memory_kib():
    """TCP memory of the whole machine (both ends of every loopback connection)."""
    with open("/proc/net/sockstat") as sockstat:
        for line in sockstat:
            if line.startswith("TCP:"):
                fields = line.split()
                return int(fields[fields.index("mem") + 1]) * os.sysconf("SC_PAGESIZE") / 1024
    return 0.0


def test_clients_that_never_read_pin_little_and_are_ended():
    machine_before = machine_tcp_memory_kib()
    machine_peak = 0.0
    with Host() as host:
        burst = b"".join(request("OPTIONS", host.port, i) for i in range(6000))
        clients = [connect(host.port, "127.0.0.4") for _ in range(50)]
        began = time.monotonic()
        for sock in clients:
            sock.setblocking(False)
            try:
                sock.send(burst)
            except BlockingIOError:
                pass
        ended = {}
        peak = 0.0
        while len(ended) < len(clients) and time.monotonic() - began < NEVER_READS_BOUND_S:
            peak = max(peak, server_socket_memory_kib(host.port))
            machine_peak = max(machine_peak, machine_tcp_memory_kib() - machine_before)
            poller = select.poll()
            for index, sock in enumerate(clients):
                if index not in ended:
                    poller.register(sock, select.POLLOUT)
            for fd, events in poller.poll(0):
                if events & (select.POLLERR | select.POLLHUP):
                    index = next(i for i, s in enumerate(clients) if s.fileno() == fd)
                    ended[index] = time.monotonic() - began
            time.sleep(0.1)
        for sock in clients:
            sock.close()
        answered = host.ask("stats")  # the host program is still responsive

    times = sorted(ended.values())
    print(f"\n50 clients that never read: server sockets pinned at most {peak:.0f} KiB "
          f"({peak / 50:.0f} KiB each), the machine's TCP memory grew by at most "
          f"{machine_peak:.0f} KiB ({machine_peak / 50:.0f} KiB each, both ends); {len(times)} ended, median "
          f"{statistics.median(times) if times else float('nan'):.1f} s, last "
          f"{max(times, default=float('nan')):.1f} s after their requests")
    assert len(ended) == len(clients)
    assert max(times) < 15
    assert peak / 50 < 256
    assert answered["frames"] > 0
