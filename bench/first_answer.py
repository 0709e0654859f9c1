"""The first answer on a new control connection, this server beside GStreamer's.

For each server (in its own process, fed the stream in real time, nobody
watching): open a TCP connection, send OPTIONS, and time from before the
connect until the whole response (head and any body) has been read. The
connections are made one after the other, a few milliseconds apart.

    PYTHONPATH=<build>/python python3 bench/first_answer.py FILE.h264
"""

import argparse
import socket
import statistics
import sys
import time

import fanout

OPTIONS = b"OPTIONS rtsp://127.0.0.1:%d/stream RTSP/1.0\r\nCSeq: 1\r\nUser-Agent: first-answer\r\n\r\n"


def read_response(sock):
    """Reads one whole RTSP response; its status line."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            raise RuntimeError("connection closed before the answer")
        data += chunk
    head, body = data.split(b"\r\n\r\n", 1)
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(body) < length:
        chunk = sock.recv(4096)
        if not chunk:
            raise RuntimeError("connection closed inside the body")
        body += chunk
    return head.split(b"\r\n", 1)[0].decode()


def first_answers(port, count, spacing):
    """Seconds to the first complete answer, for `count` new connections."""
    times = []
    for _ in range(count):
        began = time.perf_counter()
        with socket.create_connection(("127.0.0.1", port), timeout=5.0) as sock:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            sock.sendall(OPTIONS % port)
            status = read_response(sock)
            times.append(time.perf_counter() - began)
        if " 200 " not in status + " ":
            raise RuntimeError(f"OPTIONS answered {status!r}")
        time.sleep(spacing)
    return times


def measure(stream_file, count=40, spacing=0.005):
    """{server: [seconds, ...]} for our server and GStreamer's."""
    results = {}
    for name in fanout.SERVERS:
        server, port = fanout.start_server(name, stream_file)
        with server:
            time.sleep(0.5)  # let the feeder reach its pace
            results[name] = first_answers(port, count, spacing)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("file")
    parser.add_argument("--connections", type=int, default=40)
    parser.add_argument("--spacing-ms", type=float, default=5.0)
    args = parser.parse_args()
    count = max(1, min(args.connections, 1000))
    for name, times in measure(args.file, count, args.spacing_ms / 1000).items():
        ms = [t * 1000 for t in times]
        print(f"{name:10} median {statistics.median(ms):7.3f} ms   max {max(ms):7.3f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
