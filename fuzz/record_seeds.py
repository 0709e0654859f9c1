"""Record seed corpora for the fuzz targets from what real players send.

    .venv/bin/python fuzz/record_seeds.py [--out fuzz/corpus]

Runs an rtsp.Server on loopback that loops a short ffmpeg-made clip, puts a
recording TCP proxy in front of it and points ffmpeg (RTP over UDP, and over
TCP, which the server refuses), ffprobe and GStreamer's rtspsrc at the proxy.
Every byte each client sends on its control connection is kept, and turned
into seeds:

    request/     each distinct request head
    transport/   each Transport header value
    mount_path/  each request URI
    handler/     each conversation, its session ids replaced by $0, $1, ...,
                 behind a peer-choice byte (0x00: all from one peer, 0xAA:
                 alternating)
    connection/  each conversation as sent, and one head at the size bound
    h264/        access units of the clip, in the h264 target's frame format

Needs ffmpeg, ffprobe and gst-launch-1.0. Uses only 127.0.0.1; every client
runs under a time limit and is ended by its PID. Existing seed files of the
same name are overwritten; nothing else is removed.
"""

import argparse
import os
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

import rtsp

FRAME_INCREMENT = 3000  # 90 kHz clock at 30 frames per second
CLIENT_SECONDS = 15


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def access_units(data):
    """Split an Annex B stream before each access unit delimiter (NAL type 9)."""
    starts = [m.start() for m in re.finditer(b"\x00\x00\x00\x01\x09", data)]
    return [data[a:b] for a, b in zip(starts, starts[1:] + [len(data)])]


def make_clip(folder):
    path = os.path.join(folder, "clip.h264")
    subprocess.run(
        ["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi",
         "-i", "testsrc2=size=320x180:rate=30", "-t", "2", "-pix_fmt", "yuv420p",
         "-c:v", "libx264", "-profile:v", "baseline", "-preset", "veryfast",
         "-g", "30", "-keyint_min", "30", "-sc_threshold", "0", "-bf", "0",
         "-x264-params", "aud=1:repeat-headers=1", "-f", "h264", path],
        check=True, timeout=60)
    with open(path, "rb") as f:
        return access_units(f.read())


class RecordingProxy:
    """Forwards each connection to the server and keeps both directions."""

    def __init__(self, target_port):
        self.target_port = target_port
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.conversations = []  # [client bytes, server bytes] per connection
        self.lock = threading.Lock()  # guards conversations
        self.stopping = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.stopping:
            ready, _, _ = select.select([self.listener], [], [], 0.1)
            if not ready:
                continue
            client, _ = self.listener.accept()
            server = socket.create_connection(("127.0.0.1", self.target_port), timeout=5)
            record = [bytearray(), bytearray()]
            with self.lock:
                self.conversations.append(record)
            threading.Thread(target=self._pipe, args=(client, server, record), daemon=True).start()

    def _pipe(self, client, server, record):
        sockets = {client: (server, record[0]), server: (client, record[1])}
        deadline = time.monotonic() + 2 * CLIENT_SECONDS
        try:
            while time.monotonic() < deadline:
                ready, _, _ = select.select(list(sockets), [], [], 0.2)
                for sock in ready:
                    data = sock.recv(65536)
                    if not data:
                        return
                    peer, log = sockets[sock]
                    log += data
                    peer.sendall(data)
        except OSError:
            pass
        finally:
            client.close()
            server.close()

    def take(self):
        with self.lock:
            taken, self.conversations = self.conversations, []
        return [(bytes(c), bytes(s)) for c, s in taken]

    def close(self):
        self.stopping = True
        self.listener.close()


def run_client(args, seconds=CLIENT_SECONDS, interrupt_after=None):
    """Runs a client to its end, or interrupts (then kills) it by its PID."""
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        proc.wait(timeout=interrupt_after or seconds)
        return
    except subprocess.TimeoutExpired:
        pass
    proc.send_signal(signal.SIGINT)  # GStreamer tears its session down on EOS
    try:
        proc.wait(timeout=5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def heads(data):
    """Complete request heads, as a control connection reads them."""
    out, head = [], b""
    for line in data.splitlines(keepends=True):
        head += line
        if line in (b"\n", b"\r\n"):
            if head.strip():
                out.append(head)
            head = b""
    return out


def header_values(head, name):
    prefix = name.lower() + b":"
    return [line.split(b":", 1)[1].strip() for line in head.splitlines()
            if line.lower().startswith(prefix)]


written = {}  # folder -> contents already written there this run


def write(folder, name, data):
    """Writes a seed unless the folder already got the same bytes."""
    if data in written.setdefault(folder, set()):
        return
    written[folder].add(data)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def h264_seed(frames):
    """The h264 target's input: per frame a 4-byte increment and a 3-byte length."""
    out = b""
    for frame in frames:
        out += struct.pack("<I", FRAME_INCREMENT) + struct.pack("<I", len(frame))[:3] + frame
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "corpus"))
    out = parser.parse_args().out

    with tempfile.TemporaryDirectory() as scratch:
        frames = make_clip(scratch)
        if len(frames) < 31:
            sys.exit("record_seeds: the clip did not split into access units")

        port = free_port()
        server = rtsp.Server(f"127.0.0.1:{port}")
        server.start()
        pushing = True

        def push():
            i = 0
            while pushing:
                server.send_frame(frames[i % len(frames)], FRAME_INCREMENT)
                i += 1
                time.sleep(1 / 30)

        pusher = threading.Thread(target=push, daemon=True)
        pusher.start()
        proxy = RecordingProxy(port)
        url = f"rtsp://127.0.0.1:{proxy.port}/stream"
        clients = {
            "ffmpeg-udp": (["ffmpeg", "-loglevel", "error", "-rtsp_transport", "udp", "-i", url,
                            "-frames:v", "30", "-f", "null", "-"], None),
            "ffmpeg-tcp": (["ffmpeg", "-loglevel", "error", "-rtsp_transport", "tcp", "-i", url,
                            "-frames:v", "30", "-f", "null", "-"], None),
            "ffprobe": (["ffprobe", "-loglevel", "error", "-rtsp_transport", "udp", url], None),
            "gstreamer": (["gst-launch-1.0", "-e", "rtspsrc", f"location={url}", "protocols=udp",
                           "latency=200", "!", "rtph264depay", "!", "avdec_h264", "!",
                           "fakesink"], 4),
        }
        recorded = {}
        try:
            for name, (args, interrupt_after) in clients.items():
                run_client(args, interrupt_after=interrupt_after)
                time.sleep(0.5)  # the proxy sees the close
                recorded[name] = proxy.take()
        finally:
            pushing = False
            pusher.join()
            proxy.close()
            server.stop()

    for name, conversations in recorded.items():
        for n, (sent, answered) in enumerate(conversations):
            if not sent:
                continue
            tag = f"{name}-{n}"
            print(f"record_seeds: {tag}: {len(heads(sent))} requests, {len(sent)} bytes")
            write(os.path.join(out, "connection"), tag, sent)
            ids = list(dict.fromkeys(re.findall(rb"Session: ([0-9A-F]{16})", answered)))
            templated = sent
            for k, session_id in enumerate(ids):
                templated = templated.replace(session_id, b"$%d" % k)
            write(os.path.join(out, "handler"), tag + "-one-peer", b"\x00" + templated)
            write(os.path.join(out, "handler"), tag + "-two-peers", b"\xaa" + templated)
            for i, head in enumerate(heads(sent)):
                method = head.split(b" ", 1)[0].decode("ascii", "replace").lower()
                write(os.path.join(out, "request"), f"{tag}-{i:02d}-{method}", head)
                write(os.path.join(out, "mount_path"), f"{tag}-{i:02d}",
                      head.split(b"\n", 1)[0].split()[1] if len(head.split()) > 1 else b"")
                for value in header_values(head, b"Transport"):
                    write(os.path.join(out, "transport"), f"{tag}-{i:02d}", value)

    # A head of exactly the connection's 65,536-byte bound, then a request:
    # a few inserted bytes take the fuzzer across the bound.
    options = b"OPTIONS rtsp://127.0.0.1/stream RTSP/1.0\r\nCSeq: 1\r\n"
    filler = b"X-Filler: "
    padding = 65536 - len(options) - len(filler) - 4
    write(os.path.join(out, "connection"), "head-at-bound",
          options + filler + b"a" * padding + b"\r\n\r\n" + options + b"\r\n")

    write(os.path.join(out, "h264"), "keyframe", h264_seed(frames[:1]))
    write(os.path.join(out, "h264"), "predicted", h264_seed(frames[1:5]))
    write(os.path.join(out, "h264"), "keyframe-then-predicted", h264_seed(frames[29:32]))


if __name__ == "__main__":
    main()
