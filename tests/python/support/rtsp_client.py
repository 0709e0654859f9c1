"""The RTSP client of the suites: a plain TCP control connection that speaks
RTSP/1.0 by hand, and a UDP socket standing in for its RTP port."""

import socket
from typing import NamedTuple

from support.ports import family_of

TIMEOUT = 2.0


class Response(NamedTuple):
    """One answer: status code, headers (names in lower case), body text, and
    the head as received (status line and header lines, up to and including
    the blank line)."""

    status: int
    headers: dict
    body: str
    head: str


class RtspClient:
    """A client of the server at host:port over IPv4 or IPv6 (by the form of
    `host`, unless `family` is given), for /stream.

    request() sends one request and reads its answer; send() and response()
    do the two halves, for requests written ahead of their answers. CSeq
    counts up from 1 and the session, once SETUP has given one, goes into
    every request. With rtp=False there is no RTP socket (a control
    connection only)."""

    def __init__(self, host, port, family=None, rtp=True, timeout=TIMEOUT):
        family = family or family_of(host)
        self.url = f"rtsp://{'[' + host + ']' if family == socket.AF_INET6 else host}:{port}/stream"
        self.control = socket.create_connection((host, port), timeout=timeout)
        self.rtp = self.rtp_port = None
        if rtp:
            self.rtp = socket.socket(family, socket.SOCK_DGRAM)
            self.rtp.bind((host, 0))
            self.rtp.settimeout(timeout)
            self.rtp_port = self.rtp.getsockname()[1]
        self.cseq = 0
        self.session = None
        self.buffer = b""

    def send(self, method, uri=None, headers=(), cseq=None):
        """Writes a request for `uri` (the stream's URL by default) with the
        given header lines after CSeq and Session; `cseq` overrides the count."""
        self.cseq += 1
        lines = [f"{method} {uri or self.url} RTSP/1.0",
                 f"CSeq: {self.cseq if cseq is None else cseq}"]
        if self.session:
            lines.append(f"Session: {self.session}")
        lines.extend(headers)
        self.control.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())

    def _more(self):
        chunk = self.control.recv(4096)
        assert chunk, "server closed the connection"
        self.buffer += chunk

    def response(self):
        """Reads the next answer, with its body if it has a Content-Length."""
        while b"\r\n\r\n" not in self.buffer:
            self._more()
        end = self.buffer.index(b"\r\n\r\n") + 4
        head, self.buffer = self.buffer[:end].decode(), self.buffer[end:]
        status_line, *header_lines = head[:-4].split("\r\n")
        headers = {}
        for line in header_lines:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        length = int(headers.get("content-length", "0"))
        while len(self.buffer) < length:
            self._more()
        body, self.buffer = self.buffer[:length], self.buffer[length:]
        return Response(int(status_line.split()[1]), headers, body.decode(), head)

    def request(self, method, uri=None, headers=(), cseq=None):
        """send() and then response()."""
        self.send(method, uri, headers, cseq)
        return self.response()

    def succeed(self, method, uri=None, headers=()):
        """request() for an answer that must be 200 OK; returns it."""
        answer = self.request(method, uri, headers)
        assert answer.status == 200, answer.head
        return answer

    def options(self):
        """OPTIONS, which must succeed; returns the answer's headers."""
        return self.succeed("OPTIONS").headers

    def describe(self):
        """DESCRIBE, which must succeed with a video description; returns the SDP."""
        sdp = self.succeed("DESCRIBE", headers=["Accept: application/sdp"]).body
        assert "m=video" in sdp
        return sdp

    def setup(self, rtp_port=None):
        """SETUP of track1 with RTP to `rtp_port` (this client's RTP socket by
        default) and the next port for RTCP; must succeed. Keeps the session
        and returns the answer's headers."""
        port = self.rtp_port if rtp_port is None else rtp_port
        headers = self.succeed("SETUP", self.url + "/track1", [
            f"Transport: RTP/AVP;unicast;client_port={port}-{port + 1}"]).headers
        self.session = headers["session"].split(";")[0]
        return headers

    def play(self):
        """PLAY, which must succeed; returns the answer's headers."""
        return self.succeed("PLAY").headers

    def pause(self):
        """PAUSE, which must succeed; returns the answer's headers."""
        return self.succeed("PAUSE").headers

    def teardown(self):
        """TEARDOWN, which must succeed; returns the answer's headers."""
        return self.succeed("TEARDOWN").headers

    def start_playing(self):
        """OPTIONS, DESCRIBE, SETUP and PLAY as a player does; returns the PLAY
        answer's headers."""
        self.options()
        self.describe()
        self.setup()
        return self.play()

    def receive(self, timeout=0.3):
        """Every datagram until the RTP socket has been quiet for `timeout`."""
        packets = []
        self.rtp.settimeout(timeout)
        try:
            while True:
                packets.append(self.rtp.recv(65536))
        except (socket.timeout, BlockingIOError):
            pass
        return packets

    def receive_one(self, timeout=TIMEOUT):
        """The next datagram, waiting at most `timeout`."""
        self.rtp.settimeout(timeout)
        return self.rtp.recv(65536)

    def close(self):
        """Closes the control connection and the RTP socket."""
        self.control.close()
        if self.rtp is not None:
            self.rtp.close()
