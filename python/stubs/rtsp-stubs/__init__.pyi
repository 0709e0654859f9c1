"""A small RTSP/1.0 server for live H.264 video.

Create a `Server`, `start()` it, and push encoded H.264 access units with
`send_frame()`; every RTSP player that has set the stream up over UDP and is
playing receives them as RTP (H.264 payload format, packetization mode 1) at
rtsp://HOST:PORT/stream. `H264Packetizer` turns frames into RTP packets
without a server, for programs that send RTP themselves.

Failures of the server are raised as `RuntimeError` with a fixed message;
wrong argument types as `TypeError`, integers out of range as `OverflowError`.
"""

from typing import final

@final
class Server:
    """An RTSP server for one live H.264 stream, served at the path "/stream".

    Construction touches no network; `start()` binds the address and serves
    players on background threads until `stop()`. Frames are packetized and
    sent on the calling thread, with the interpreter lock held, so a
    `send_frame()` call returns when every datagram has been handed to the
    operating system. Dropping the last reference to a running server stops it.
    Calls on one `Server` from several threads run one at a time.
    """

    def __new__(
        cls,
        bind_addr: str = "0.0.0.0:8554",
        public_host: str | None = None,
        public_port: int | None = None,
        session_name: str = "Stream",
    ) -> Server:
        """Create a server; nothing is bound until `start()`.

        Args:
            bind_addr: where players connect, "IPv4:port" or "[IPv6]:port",
                numeric, with an explicit non-zero port ("0.0.0.0:8554",
                "[::]:8554", "127.0.0.1:8554"). Checked by `start()`, not here.
            public_host: the host the stream description (SDP) announces to
                players. Set it when players reach the server under another
                name or address than the one in their URL, for instance behind
                NAT or a port forward. By default the host of the request's URL
                is announced, or else the player's own view of the connection.
            public_port: accepted (0-65535) and kept, but not used: the
                description never carries a port.
            session_name: the SDP session name (the "s=" line) players may show
                as the stream's title.

        Raises:
            TypeError: an argument of the wrong type.
            OverflowError: `public_port` outside 0-65535.
        """
    def start(self) -> None:
        """Bind the address and start serving players.

        May be called again after `stop()`; sessions of players still
        connected are kept.

        Raises:
            RuntimeError: "server already running"; "invalid bind address: ..."
                for an address that is not numeric, has no port or has port 0
                (there is no way to ask for an ephemeral port); "I/O error:
                ..." when the address cannot be bound (for example a port in
                use: "Address already in use (os error 98)").
        """
    def stop(self) -> None:
        """Stop accepting players; the listening port is released within about
        50 ms. Players already connected end at their next request or when
        they disconnect. Frames can still be sent to sessions that remain."""
    def is_running(self) -> bool:
        """True between a successful `start()` and `stop()`."""
    def send_frame(self, data: bytes, timestamp_increment: int) -> int:
        """Send a raw encoded frame to the default mount (`/stream`).
        Handles packetization and delivery internally.

        Args:
            data: one H.264 access unit in Annex B form (start codes, SPS and
                PPS before each keyframe); any bytes are accepted. A frame with
                no start code (as demuxed from an MP4 file) sends nothing and
                is logged: WARN "frame holds no Annex B start code; nothing
                was sent" on "rtsp.server", fields `mount`, `length`, `head`,
                at most once a second.
            timestamp_increment: added to the stream's RTP timestamp after this
                frame, in 90 kHz units (3000 for 30 frames per second), 0 to
                4294967295.

        Returns:
            The number of playing sessions the frame was sent to; a send that
            fails for one player does not stop the others and is logged:
            WARN "failed to send RTP packet" on "rtsp.server", fields
            `session_id`, `addr`, `error` and `failed` (the datagrams failed
            since the last such record), at most once a second per player.

        Raises:
            RuntimeError: "server not started" before the first `start()`.
            TypeError: `data` is not bytes (bytearray and memoryview are not
                accepted).
            OverflowError: `timestamp_increment` out of range.
        """
    def send_frame_to(self, mount_path: str, data: bytes, timestamp_increment: int) -> int:
        """Send a raw encoded frame to a specific mount.

        Args:
            mount_path: the mount's path; the server has one, "/stream".
            data: one H.264 access unit in Annex B form.
            timestamp_increment: RTP timestamp increment in 90 kHz units,
                0 to 4294967295.

        Returns:
            The number of playing sessions the frame was sent to.

        Raises:
            RuntimeError: "server not started"; "mount not found: PATH" for
                any path other than "/stream".
            TypeError, OverflowError: as for `send_frame`.
        """
    def send_rtp_packet(self, session_id: str, payload: bytes) -> int:
        """Send a pre-packetized RTP packet to a specific session.

        Args:
            session_id: a playing session's id, as `Viewer.session_id` gives it.
            payload: one complete RTP packet (header included), sent as one
                datagram unchanged.

        Returns:
            The number of bytes sent.

        Raises:
            RuntimeError: "server not started"; "session not found: ID";
                "session not in playing state: ID"; "transport not configured
                for session: ID"; "I/O error: ..." when the send fails.
        """
    def broadcast_rtp_packet(self, payload: bytes) -> int:
        """Broadcast a pre-packetized RTP packet to all playing sessions
        on the default mount.

        Args:
            payload: one complete RTP packet, sent unchanged as one datagram to
                each playing session of "/stream".

        Returns:
            The number of sessions the datagram was sent to successfully.

        Raises:
            RuntimeError: "server not started" before the first `start()`.
        """
    def get_viewers(self) -> list[Viewer]:
        """A snapshot of the sessions now playing "/stream", one `Viewer` each
        (empty before `start()`). Compare ids between calls to see players
        join, for instance to send a keyframe to a new one."""

@final
class H264Packetizer:
    """Turns H.264 access units into RTP packets without a server.

    Each packetizer has its own random SSRC; its sequence number and timestamp
    start at 0 and advance only through its own `packetize()` calls. NAL units
    up to 1400 bytes go in one packet each, larger ones as FU-A fragments.
    """

    def __new__(cls, pt: int = 96) -> H264Packetizer:
        """Create a packetizer.

        Args:
            pt: RTP payload type of every packet, 0-255 (96 is the usual
                dynamic type for H.264).

        Raises:
            TypeError: `pt` is not an int.
            OverflowError: `pt` outside 0-255.
        """
    def packetize(self, frame_data: bytes, timestamp_increment: int) -> list[bytes]:
        """Packetize one frame.

        Args:
            frame_data: one H.264 access unit in Annex B form; any bytes are
                accepted.
            timestamp_increment: added to the timestamp after this frame, in
                90 kHz units, 0 to 4294967295.

        Returns:
            One bytes object per RTP packet (12-byte header and payload), in
            sending order; an empty list for a frame without NAL units.

        Raises:
            TypeError: `frame_data` is not bytes.
            OverflowError: `timestamp_increment` out of range.
        """

@final
class Viewer:
    """One playing session, as `Server.get_viewers()` lists it: a snapshot,
    not updated afterwards. Made only by the server (the class cannot be
    called)."""

    @property
    def session_id(self) -> str:
        """The RTSP session id: 16 upper-case hexadecimal digits."""
    @property
    def uri(self) -> str:
        """The URL the player set the session up with, as it sent it."""
    @property
    def client_addr(self) -> str:
        """Where the RTP goes: "192.0.2.7:5000" or "[2001:db8::1]:5000"."""
    @property
    def client_rtp_port(self) -> int:
        """The player's RTP port, 0-65535."""
