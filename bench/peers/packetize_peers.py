"""Per-packet cost of FFmpeg's RTP muxer and GStreamer's rtph264pay.

Neither can be timed from inside, so each is timed as a whole process (user
plus system CPU, from wait4) twice over the same file: once packetizing and
once only demuxing and parsing, and the difference is divided by the number
of RTP packets it made. The packetizing runs write their packets where
nothing is left to do with them (FFmpeg: /dev/null, one write per packet;
GStreamer: fakesink). The two kinds of run alternate; the median of each is
taken. Packets are no larger than ours (12-byte header, 1400 bytes of
payload at most).

    python3 bench/peers/packetize_peers.py FILE.h264 [--runs 5]
"""

import argparse
import json
import os
import socket
import statistics
import subprocess
import sys
import time

RTP_PACKET_SIZE = 1412
RTCP_SENDER_REPORT = 200
FFMPEG = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error"]


def ffmpeg_commands(path):
    rtp = FFMPEG + ["-i", str(path), "-c", "copy", "-f", "rtp", "-packetsize", str(RTP_PACKET_SIZE),
                    "-y", "/dev/null"]
    parse = FFMPEG + ["-i", str(path), "-c", "copy", "-f", "null", "-"]
    return rtp, parse


def gstreamer_commands(path):
    launch = ["gst-launch-1.0", "-q", "filesrc", f"location={path}", "!", "h264parse", "!"]
    rtp = launch + ["rtph264pay", f"mtu={RTP_PACKET_SIZE}", "!", "fakesink"]
    parse = launch + ["fakesink"]
    return rtp, parse


def child_cpu_seconds(command, timeout=300):
    """User plus system CPU of one run of `command` (its children included)."""
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE)
    deadline = time.monotonic() + timeout
    while True:
        pid, status, usage = os.wait4(process.pid, os.WNOHANG)
        if pid:
            break
        if time.monotonic() > deadline:
            process.kill()
            process.wait()
            raise TimeoutError(f"{command[0]} took longer than {timeout} s")
        time.sleep(0.005)
    process.returncode = os.waitstatus_to_exitcode(status)
    errors = process.stderr.read().decode(errors="replace")
    process.stderr.close()
    if process.returncode != 0:
        raise RuntimeError(f"{' '.join(command[:3])}... failed: {errors[-1000:]}")
    return usage.ru_utime + usage.ru_stime


def ffmpeg_packets(path, timeout=120):
    """RTP packets FFmpeg's muxer makes of the file, counted on a loopback
    socket (its sender reports left out). Counted at full speed into a large
    receive buffer; should datagrams be dropped all the same (the sequence
    numbers tell), counted again with the muxer paced at the stream's rate."""
    for paced in (False, True):
        received, span = _ffmpeg_udp_count(path, paced, timeout)
        if received == span:
            return received
    raise RuntimeError(f"FFmpeg's packets could not be counted ({received} of {span} arrived)")


def _ffmpeg_udp_count(path, paced, timeout):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sink:
        try:  # beyond net.core.rmem_max, where allowed
            sink.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_RCVBUFFORCE", 33), 64 << 20)
        except OSError:
            sink.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 << 20)
        sink.bind(("127.0.0.1", 0))
        sink.settimeout(0.5)
        port = sink.getsockname()[1]
        command = FFMPEG + (["-re"] if paced else []) + [
            "-i", str(path), "-c", "copy", "-f", "rtp", "-packetsize", str(RTP_PACKET_SIZE),
            f"udp://127.0.0.1:{port}?pkt_size={RTP_PACKET_SIZE}"]
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        received = 0
        first = highest = None
        deadline = time.monotonic() + timeout
        try:
            while time.monotonic() < deadline:
                try:
                    datagram = sink.recv(65536)
                except socket.timeout:
                    if process.poll() is not None:
                        break
                    continue
                if len(datagram) < 12 or datagram[1] == RTCP_SENDER_REPORT:
                    continue
                received += 1
                seq = int.from_bytes(datagram[2:4], "big")
                if first is None:
                    first = highest = seq
                else:
                    step = (seq - highest) % 0x10000  # highest is extended past 16 bits
                    if step < 0x8000:
                        highest += step
        finally:
            if process.poll() is None:
                process.kill()
            process.wait()
    return received, (0 if first is None else highest - first + 1)


def gstreamer_packets(path, timeout=120):
    """RTP buffers rtph264pay makes of the file, counted at the sink."""
    import gi
    gi.require_version("Gst", "1.0")
    from gi.repository import Gst
    Gst.init(None)
    pipeline = Gst.parse_launch(
        f"filesrc location={path} ! h264parse ! rtph264pay mtu={RTP_PACKET_SIZE} "
        "! fakesink name=sink signal-handoffs=true")
    count = [0]
    pipeline.get_by_name("sink").connect("handoff", lambda *_: count.__setitem__(0, count[0] + 1))
    pipeline.set_state(Gst.State.PLAYING)
    message = pipeline.get_bus().timed_pop_filtered(
        timeout * Gst.SECOND, Gst.MessageType.EOS | Gst.MessageType.ERROR)
    pipeline.set_state(Gst.State.NULL)
    if message is None or message.type != Gst.MessageType.EOS:
        raise RuntimeError("rtph264pay counting pipeline did not reach the end of the stream")
    return count[0]


def measure(path, packets, commands, runs):
    """ns per packet of the packetizing run beyond the parse-only one."""
    rtp_command, parse_command = commands
    with_rtp, parse_only = [], []
    for run in range(runs):
        pair = [(rtp_command, with_rtp), (parse_command, parse_only)]
        for command, into in (pair if run % 2 == 0 else pair[::-1]):
            into.append(child_cpu_seconds(command))
    rtp, parse = statistics.median(with_rtp), statistics.median(parse_only)
    return {
        "packets": packets,
        "ns_per_packet": (rtp - parse) * 1e9 / packets,
        "ns_per_packet_raw": rtp * 1e9 / packets,
        "cpu_seconds_rtp": rtp,
        "cpu_seconds_parse": parse,
        "runs": runs,
    }


def measure_peers(path, packets_path, repeat, runs):
    """Both peers over `path`, which is `packets_path` played `repeat` times
    (packets are counted on the shorter file: every copy makes the same)."""
    return {
        "ffmpeg": measure(path, ffmpeg_packets(packets_path) * repeat, ffmpeg_commands(path), runs),
        "gstreamer": measure(path, gstreamer_packets(packets_path) * repeat,
                             gstreamer_commands(path), runs),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("file")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    print(json.dumps(measure_peers(args.file, args.file, 1, max(1, min(args.runs, 50))), indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
