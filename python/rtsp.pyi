"""Type information for the `rtsp` extension module."""

from typing import final

@final
class Server:
    def __new__(
        cls,
        bind_addr: str = "0.0.0.0:8554",
        public_host: str | None = None,
        public_port: int | None = None,
        session_name: str = "Stream",
    ) -> Server: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    def is_running(self) -> bool: ...
    def send_frame(self, data: bytes, timestamp_increment: int) -> int:
        """Send a raw encoded frame to the default mount (`/stream`).
        Handles packetization and delivery internally."""
    def send_frame_to(self, mount_path: str, data: bytes, timestamp_increment: int) -> int:
        """Send a raw encoded frame to a specific mount."""
    def send_rtp_packet(self, session_id: str, payload: bytes) -> int:
        """Send a pre-packetized RTP packet to a specific session."""
    def broadcast_rtp_packet(self, payload: bytes) -> int:
        """Broadcast a pre-packetized RTP packet to all playing sessions
        on the default mount."""
    def get_viewers(self) -> list[Viewer]: ...

@final
class H264Packetizer:
    def __new__(cls, pt: int = 96) -> H264Packetizer: ...
    def packetize(self, frame_data: bytes, timestamp_increment: int) -> list[bytes]: ...

@final
class Viewer:
    @property
    def session_id(self) -> str: ...
    @property
    def uri(self) -> str: ...
    @property
    def client_addr(self) -> str: ...
    @property
    def client_rtp_port(self) -> int: ...
