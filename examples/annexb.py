"""Cutting an Annex B H.264 byte stream into access units (one picture each),
which is what `rtsp.Server.send_frame` takes per call."""

START_CODE = b"\x00\x00\x01"
VCL_TYPES = (1, 5)  # coded slices
# NAL types that open a new access unit when they follow a coded slice:
# delimiter, SEI, SPS, PPS and the reserved 14..18.
PREFIX_TYPES = frozenset((6, 7, 8, 9, 14, 15, 16, 17, 18))


class AccessUnitSplitter:
    """Cuts an Annex B byte stream, fed in arbitrary chunks, into access units.

    A new access unit starts where, after a coded slice, there comes a
    delimiter, SEI or parameter set, or a slice whose first_mb_in_slice is 0
    (the first bit after the NAL header is 1). So streams with and without
    access unit delimiters both split correctly."""

    def __init__(self) -> None:
        self.buffer = bytearray()
        self.scanned = 0  # no start code begins before this offset
        self.seen_slice = False  # the unit in the buffer holds a coded slice

    def feed(self, chunk: bytes) -> list[bytes]:
        """The access units completed by this chunk."""
        self.buffer += chunk
        units: list[bytes] = []
        while True:
            pos = self.buffer.find(START_CODE, self.scanned)
            if pos == -1 or pos + 4 >= len(self.buffer):
                # A start code may straddle two chunks: look at the tail again.
                self.scanned = max(self.scanned, len(self.buffer) - 4)
                return units
            self.scanned = pos + 3
            nal_type = self.buffer[pos + 3] & 0x1F
            is_slice = nal_type in VCL_TYPES
            first_slice = is_slice and self.buffer[pos + 4] & 0x80
            if self.seen_slice and (nal_type in PREFIX_TYPES or first_slice):
                begin = pos - 1 if pos > 0 and self.buffer[pos - 1] == 0 else pos
                units.append(bytes(self.buffer[:begin]))
                del self.buffer[:begin]
                self.scanned -= begin
                self.seen_slice = False
            self.seen_slice = self.seen_slice or is_slice

    def flush(self) -> list[bytes]:
        """The last unit, once the stream has ended."""
        rest = bytes(self.buffer) if self.seen_slice else b""
        self.buffer.clear()
        self.scanned = 0
        self.seen_slice = False
        return [rest] if rest else []


def file_access_units(path: str) -> list[bytes]:
    """The access units of an Annex B file, in order; OSError if it cannot be
    read, ValueError if it holds no coded picture."""
    with open(path, "rb") as f:
        splitter = AccessUnitSplitter()
        units = splitter.feed(f.read()) + splitter.flush()
    if not units:
        raise ValueError("holds no H.264 pictures (an Annex B stream is needed)")
    return units
