"""Frame delivery throughput of rtsp.Server over loopback.

For each number of playing sessions N, starts a server on a free 127.0.0.1
port, brings N raw RTSP clients to PLAY (OPTIONS, SETUP with a UDP
client_port pair, PLAY over plain sockets), then calls send_frame as fast as
it can for a bounded time with H.264-shaped frames (an IDR with SPS and PPS
every 30th frame, P frames otherwise). Prints frames/s, RTP packets/s and
Mbit/s sent, and the packets the clients' UDP sockets received.

Mbit/s counts RTP bytes (the UDP payloads, headers included). Packets sent
are counted from send_frame's return value (sessions addressed) times the
packets the same frame makes in a standalone H264Packetizer. The receiving
side is a Python thread sharing the interpreter with the sending loop, so
"pkts recv" shows what that receiver kept up with, not what the server lost;
the host's UDP receive-buffer overflow counter is printed beside it.

Nothing here is a pass/fail check: the numbers depend on the machine and on
whatever else runs on it.

    PYTHONPATH=<build>/python /usr/bin/python3 bench/send_frame.py
"""

import argparse
import random
import resource
import select
import socket
import sys
import threading
import time

import rtsp

HOST = "127.0.0.1"
CONTROL_TIMEOUT = 5.0
TIMESTAMP_INCREMENT = 3000  # 30 frames/s on the 90 kHz clock
GOP = 30
RCVBUF = 8 * 1024 * 1024  # the kernel caps this at net.core.rmem_max
MAX_SETUP_ATTEMPTS = 50


# --- synthetic Annex B frames -------------------------------------------------

def nal(header, size, rng):
    """One NAL unit behind a 4-byte start code; the body has no zero bytes, so
    it can hold no start code."""
    body = rng.randbytes(size - 1).replace(b"\x00", b"\x5a")
    return b"\x00\x00\x00\x01" + bytes([header]) + body


def make_frames(idr_size, p_size):
    rng = random.Random(7)
    aud = b"\x00\x00\x00\x01\x09\xf0"
    sps = b"\x00\x00\x00\x01\x67\x42\xc0\x1f\xda\x01\x40\x16\xec\x04\x40\x00\x00\x03\x00\x40\x00\x00\x0f\x23\xc6\x0c\x92"
    pps = b"\x00\x00\x00\x01\x68\xce\x3c\x80"
    idr = aud + sps + pps
    idr += nal(0x65, idr_size - len(idr) - 4, rng)
    p_frame = aud + nal(0x41, p_size - len(aud) - 4, rng)
    return idr, p_frame


def rtp_shape(frame):
    """(packets, bytes) the server's packetizer makes of this frame; the count
    and sizes depend only on the frame's NAL units."""
    packets = rtsp.H264Packetizer(96).packetize(frame, TIMESTAMP_INCREMENT)
    return len(packets), sum(len(p) for p in packets)


# --- server and clients -------------------------------------------------------

def free_tcp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind((HOST, 0))
        return probe.getsockname()[1]


def start_server():
    # The server sizes its connection limit from the soft descriptor limit at
    # start; the usual 1,024 would hold only about 480 viewers.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 65536)), hard))
    last = None
    for _ in range(20):
        port = free_tcp_port()
        server = rtsp.Server(f"{HOST}:{port}")
        try:
            server.start()
            return server, port
        except RuntimeError as err:  # the port was taken meanwhile
            last = err
    raise last


def udp_socket(port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RCVBUF)
        sock.bind((HOST, port))
    except OSError:
        sock.close()
        raise
    sock.setblocking(False)
    return sock


def udp_pair():
    """Two UDP sockets on consecutive loopback ports (RTP, RTCP)."""
    for _ in range(MAX_SETUP_ATTEMPTS):
        rtp = udp_socket(0)
        port = rtp.getsockname()[1]
        if port < 65535:
            try:
                return rtp, udp_socket(port + 1)
            except OSError:
                pass
        rtp.close()
    raise RuntimeError("no consecutive UDP port pair on the loopback")


class Client:
    """One player: an RTSP control connection and its RTP/RTCP sockets."""

    def __init__(self, port):
        self.url = f"rtsp://{HOST}:{port}/stream"
        self.rtp = self.rtcp = self.control = None
        self.cseq = 0
        self.session = None
        self.buffer = b""
        try:
            self.rtp, self.rtcp = udp_pair()
            self.control = socket.create_connection((HOST, port), timeout=CONTROL_TIMEOUT)
        except BaseException:
            self.close()
            raise

    def request(self, method, uri=None, headers=()):
        self.cseq += 1
        lines = [f"{method} {uri or self.url} RTSP/1.0", f"CSeq: {self.cseq}",
                 "User-Agent: send_frame-bench"]
        if self.session:
            lines.append(f"Session: {self.session}")
        lines.extend(headers)
        self.control.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        while b"\r\n\r\n" not in self.buffer:
            chunk = self.control.recv(4096)
            if not chunk:
                raise RuntimeError(f"{method}: server closed the connection")
            self.buffer += chunk
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        status_line, *header_lines = head.decode("latin-1").split("\r\n")
        found = {}
        for line in header_lines:
            name, _, value = line.partition(":")
            found[name.strip().lower()] = value.strip()
        length = int(found.get("content-length", "0"))
        while len(self.buffer) < length:
            chunk = self.control.recv(4096)
            if not chunk:
                raise RuntimeError(f"{method}: server closed the connection")
            self.buffer += chunk
        self.buffer = self.buffer[length:]
        status = int(status_line.split()[1])
        if status != 200:
            raise RuntimeError(f"{method} answered {status_line!r}")
        return found

    def start_playing(self):
        self.request("OPTIONS")
        rtp_port = self.rtp.getsockname()[1]
        answer = self.request(
            "SETUP", self.url + "/track1",
            [f"Transport: RTP/AVP;unicast;client_port={rtp_port}-{rtp_port + 1}"])
        self.session = answer["session"].split(";")[0]
        self.request("PLAY", headers=["Range: npt=0.000-"])

    def teardown(self):
        if self.control is not None and self.session:
            try:
                self.request("TEARDOWN")
            except (OSError, RuntimeError):
                pass  # closing the connection ends the session anyway
            self.session = None

    def close(self):
        for sock in (self.control, self.rtp, self.rtcp):
            if sock is not None:
                sock.close()
        self.control = self.rtp = self.rtcp = None


class Drain(threading.Thread):
    """Reads and counts every datagram arriving on the given sockets."""

    def __init__(self, sockets):
        super().__init__(name="rtp-drain", daemon=True)
        self.sockets = list(sockets)
        self.packets = 0
        self.bytes = 0
        self.last_arrival = time.monotonic()
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.is_set():
            ready, _, _ = select.select(self.sockets, [], [], 0.05)
            for sock in ready:
                while True:
                    try:
                        data = sock.recv(65536)
                    except (BlockingIOError, InterruptedError):
                        break
                    self.packets += 1
                    self.bytes += len(data)
                    self.last_arrival = time.monotonic()

    def settle(self, quiet=0.2, limit=2.0):
        """Waits until nothing has arrived for `quiet` seconds (at most `limit`)."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline and time.monotonic() - self.last_arrival < quiet:
            time.sleep(0.02)

    def stop(self):
        self.stopping.set()
        self.join(timeout=5.0)


def udp_rcvbuf_errors():
    """The host-wide count of datagrams dropped for a full receive buffer
    (Linux /proc/net/snmp), or None where it cannot be read."""
    try:
        with open("/proc/net/snmp") as snmp:
            rows = [line.split() for line in snmp if line.startswith("Udp:")]
        names, values = rows[0], rows[1]
        return int(values[names.index("RcvbufErrors")])
    except (OSError, IndexError, ValueError):
        return None


# --- one case -----------------------------------------------------------------

def run_case(sessions, frames, shapes, duration, max_frames):
    server, port = start_server()
    clients = []
    drain = None
    try:
        for _ in range(sessions):
            client = Client(port)
            clients.append(client)
            client.start_playing()
        viewers = len(server.get_viewers())
        if viewers != sessions:
            raise RuntimeError(f"{viewers} viewers playing, expected {sessions}")
        if clients:
            drain = Drain(c.rtp for c in clients)
            drain.start()

        idr, p_frame = frames
        dropped_before = udp_rcvbuf_errors()
        sent_frames = sent_packets = sent_bytes = 0
        start = time.perf_counter()
        deadline = start + duration
        while sent_frames < max_frames:
            key = sent_frames % GOP == 0
            addressed = server.send_frame(idr if key else p_frame, TIMESTAMP_INCREMENT)
            count, size = shapes[key]
            sent_packets += count * addressed
            sent_bytes += size * addressed
            sent_frames += 1
            if sent_frames % 8 == 0 and time.perf_counter() >= deadline:
                break
        elapsed = time.perf_counter() - start

        received = 0
        if drain is not None:
            drain.settle()
            received = drain.packets
        dropped_after = udp_rcvbuf_errors()
        dropped = (None if dropped_before is None or dropped_after is None
                   else dropped_after - dropped_before)
        return sent_frames, elapsed, sent_packets, sent_bytes, received, dropped
    finally:
        if drain is not None:
            drain.stop()
        for client in clients:
            client.teardown()
        for client in clients:
            client.close()
        server.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sessions", default="0,1,4,16",
                        help="comma-separated numbers of playing sessions (default 0,1,4,16)")
    parser.add_argument("--duration", type=float, default=2.0,
                        help="seconds of sending per case (default 2, at most 30)")
    parser.add_argument("--max-frames", type=int, default=1_000_000,
                        help="frame limit per case (default 1000000)")
    parser.add_argument("--idr-bytes", type=int, default=60_000)
    parser.add_argument("--p-bytes", type=int, default=6_000)
    args = parser.parse_args()

    counts = [int(n) for n in args.sessions.split(",") if n.strip()]
    if any(n < 0 or n > 256 for n in counts):
        parser.error("session counts must be between 0 and 256")
    duration = min(max(args.duration, 0.1), 30.0)
    max_frames = max(1, args.max_frames)

    frames = make_frames(args.idr_bytes, args.p_bytes)
    shapes = {True: rtp_shape(frames[0]), False: rtp_shape(frames[1])}
    print(f"frames: IDR {len(frames[0])} B -> {shapes[True][0]} RTP packets, "
          f"P {len(frames[1])} B -> {shapes[False][0]} RTP packets, one IDR every {GOP}")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RCVBUF)
        rcvbuf = probe.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)
    print(f"UDP receive buffer per client: {rcvbuf} B; {duration:g} s per case; "
          "'rcvbuf drops' counts the whole host's UDP receive-buffer overflows")
    print(f"{'N':>3} {'frames':>8} {'frames/s':>10} {'RTP pkt/s':>11} {'Mbit/s':>9} "
          f"{'pkts sent':>10} {'pkts recv':>10} {'recv %':>7} {'rcvbuf drops':>12}")
    for n in counts:
        done, elapsed, packets, size, received, dropped = run_case(
            n, frames, shapes, duration, max_frames)
        share = f"{100.0 * received / packets:6.1f}%" if packets else "     -"
        print(f"{n:>3} {done:>8} {done / elapsed:>10.0f} {packets / elapsed:>11.0f} "
              f"{size * 8 / elapsed / 1e6:>9.1f} {packets:>10} {received:>10} {share:>7} "
              f"{'?' if dropped is None else dropped:>12}",
              flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
