"""Small H.264 frames for the server to send, and a reader of RTP headers."""

import struct


def keyframe(fill):
    """An IDR access unit: delimiter, SPS, PPS and a 3000-byte slice of `fill`,
    several packets once packetized."""
    return (b"\x00\x00\x00\x01\x09\xf0"
            b"\x00\x00\x00\x01\x67\x42\xc0\x1f\xda\x01"
            b"\x00\x00\x00\x01\x68\xce\x3c\x80"
            b"\x00\x00\x01\x65" + bytes([fill]) * 3000)


def delta_frame(fill, size=200):
    """A non-IDR access unit: delimiter and a slice of `size` bytes of `fill`."""
    return b"\x00\x00\x00\x01\x09\x30\x00\x00\x01\x41" + bytes([fill]) * size


def rtp_fields(packet):
    """The fixed RTP header of `packet` as a dict: version, marker, pt, seq,
    ts and ssrc."""
    first, second, seq, ts, ssrc = struct.unpack("!BBHII", packet[:12])
    return {"version": first >> 6, "marker": bool(second & 0x80), "pt": second & 0x7F,
            "seq": seq, "ts": ts, "ssrc": ssrc}
