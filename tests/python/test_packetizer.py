"""H264Packetizer: packet contents, argument handling, thread safety."""

import struct
import threading

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import rtsp

OUT_OF_RANGE = "out of range integral type conversion attempted"


def header(packet):
    """(marker, pt, seq, ts, ssrc) of an RTP packet."""
    b0, b1, seq, ts, ssrc = struct.unpack("!BBHII", packet[:12])
    assert b0 == 0x80
    return b1 >> 7, b1 & 0x7F, seq, ts, ssrc


def nal(header_byte, size, fill=0x11):
    return bytes([header_byte]) + bytes([fill]) * (size - 1)


def annexb(*nal_units):
    return b"".join(b"\x00\x00\x00\x01" + unit for unit in nal_units)


def split_annexb(data):
    """Reference splitter: NAL units between 00 00 00 01 / 00 00 01 start codes."""
    starts = []
    i = 0
    while i < len(data):
        if data[i:i + 4] == b"\x00\x00\x00\x01":
            starts.append((i + 4, 4))
            i += 4
        elif data[i:i + 3] == b"\x00\x00\x01":
            starts.append((i + 3, 3))
            i += 3
        else:
            i += 1
    units = []
    for k, (begin, _) in enumerate(starts):
        end = starts[k + 1][0] - starts[k + 1][1] if k + 1 < len(starts) else len(data)
        if end > begin:
            units.append(data[begin:end])
    return units


def reassemble(packets):
    """The NAL units carried by single-NAL and FU-A packets, in order."""
    units, pending = [], None
    for packet in packets:
        payload = packet[12:]
        if payload[0] & 0x1F != 28:
            assert pending is None
            units.append(payload)
            continue
        indicator, fu = payload[0], payload[1]
        if fu & 0x80:
            assert pending is None
            pending = bytearray([(indicator & 0xE0) | (fu & 0x1F)])
        pending += payload[2:]
        if fu & 0x40:
            units.append(bytes(pending))
            pending = None
    assert pending is None
    return units


class TestConstruction:
    @pytest.mark.parametrize("make", [
        lambda: rtsp.H264Packetizer(),
        lambda: rtsp.H264Packetizer(96),
        lambda: rtsp.H264Packetizer(pt=96),
    ])
    def test_default_payload_type_is_96(self, make):
        [packet] = make().packetize(annexb(nal(0x41, 10)), 0)
        assert header(packet)[1] == 96

    @pytest.mark.parametrize("pt", [0, 1, 127, 128, 255, True])
    def test_full_byte_range_is_accepted(self, pt):
        assert len(rtsp.H264Packetizer(pt).packetize(annexb(nal(0x41, 10)), 0)) == 1

    def test_each_object_has_its_own_ssrc_and_counters(self):
        packetizers = [rtsp.H264Packetizer() for _ in range(4)]
        firsts = [p.packetize(annexb(nal(0x41, 10)), 3000)[0] for p in packetizers]
        assert len({header(packet)[4] for packet in firsts}) == 4
        assert all(header(packet)[2:4] == (0, 0) for packet in firsts)


class TestPacketize:
    def test_sequence_and_timestamp_run_across_calls(self):
        p = rtsp.H264Packetizer()
        first = p.packetize(annexb(nal(0x67, 8), nal(0x68, 4), nal(0x65, 3000)), 3000)
        second = p.packetize(annexb(nal(0x41, 50)), 3000)
        assert [header(x)[2] for x in first + second] == list(range(len(first) + 1))
        assert {header(x)[3] for x in first} == {0}
        assert header(second[0])[3] == 3000
        assert [header(x)[0] for x in first] == [0] * (len(first) - 1) + [1]

    @pytest.mark.parametrize("frame", [b"", b"\x01\x02\x03", b"\x00\x00\x01\x00\x00\x01"])
    def test_frame_without_nal_units_still_advances_timestamp(self, frame):
        p = rtsp.H264Packetizer()
        assert p.packetize(frame, 3000) == []
        [packet] = p.packetize(annexb(nal(0x41, 10)), 0)
        assert header(packet)[2:4] == (0, 3000)

    @pytest.mark.parametrize("size, lengths", [
        (1400, [1412]),
        (1401, [1412, 16]),
        (1 + 1398 * 2, [1412, 1412]),
        (1 + 1398 * 2 + 1, [1412, 1412, 15]),
    ])
    def test_packet_sizes_around_the_payload_limit(self, size, lengths):
        packets = rtsp.H264Packetizer().packetize(annexb(nal(0x65, size)), 0)
        assert [len(x) for x in packets] == lengths
        assert all(type(x) is bytes for x in packets)

    def test_keywords_match_positional_form(self):
        frame = annexb(nal(0x65, 2000), nal(0x41, 30))
        a, b = rtsp.H264Packetizer(), rtsp.H264Packetizer()
        by_position = a.packetize(frame, 90)
        by_keyword = b.packetize(timestamp_increment=90, frame_data=frame)
        strip_ssrc = lambda packets: [x[:8] + x[12:] for x in packets]
        assert strip_ssrc(by_position) == strip_ssrc(by_keyword)

    @pytest.mark.parametrize("frame_type", [bytes, type("Frame", (bytes,), {})])
    def test_bytes_subclasses_are_read(self, frame_type):
        frame = frame_type(annexb(nal(0x41, 10)))
        [packet] = rtsp.H264Packetizer().packetize(frame, 1)
        assert packet[12:] == nal(0x41, 10)

    @pytest.mark.parametrize("increment, expected", [
        (2**32 - 1, 2**32 - 1),
        (True, 1),
        (type("Index", (), {"__index__": lambda self: 7})(), 7),
    ])
    def test_increment_accepts_integers_and_index_objects(self, increment, expected):
        p = rtsp.H264Packetizer()
        p.packetize(b"", increment)
        [packet] = p.packetize(annexb(nal(0x41, 10)), 0)
        assert header(packet)[3] == expected

    @settings(max_examples=150, deadline=None)
    @given(st.lists(st.one_of(
        st.binary(max_size=64),
        st.sampled_from([b"\x00\x00\x01", b"\x00\x00\x00\x01", b"\x00"]),
        st.integers(1, 4000).map(lambda n: nal(0x65, n, fill=0xAB)),
    ), max_size=12), st.integers(0, 2**32 - 1))
    def test_packets_carry_exactly_the_nal_units(self, pieces, increment):
        frame = b"".join(pieces)
        # Types 28 and 29 belong to the RTP payload format and never occur in
        # a byte stream; a short unit of such a type would read as a fragment.
        assume(all(u[0] & 0x1F not in (28, 29) for u in split_annexb(frame)))
        p = rtsp.H264Packetizer(pt=100)
        packets = p.packetize(frame, increment)
        # FU-A fragments carry NRI and type but not the forbidden bit.
        expected = [u if len(u) <= 1400 else bytes([u[0] & 0x7F]) + u[1:]
                    for u in split_annexb(frame)]
        assert reassemble(packets) == expected
        headers = [header(x) for x in packets]
        assert [h[2] for h in headers] == list(range(len(packets)))
        assert {h[1] for h in headers} <= {100}
        assert {h[3] for h in headers} <= {0}
        assert len({h[4] for h in headers}) <= 1
        assert [h[0] for h in headers] == [0] * (len(packets) - 1) + [1] * bool(packets)
        assert all(len(x) <= 1412 for x in packets)
        [probe] = p.packetize(annexb(nal(0x41, 4)), 0)
        assert header(probe)[2:4] == (len(packets) % 65536, increment)


def test_concurrent_calls_on_one_object_interleave_whole_frames():
    p = rtsp.H264Packetizer()
    frame = annexb(nal(0x67, 8), nal(0x65, 3000))  # 4 packets per call
    threads, calls_per_thread = 8, 60
    results = [[] for _ in range(threads)]
    barrier = threading.Barrier(threads)

    def work(out):
        barrier.wait()
        for _ in range(calls_per_thread):
            out.append(p.packetize(frame, 10))

    workers = [threading.Thread(target=work, args=(out,)) for out in results]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(timeout=60)
    calls = [packets for out in results for packets in out]
    assert len(calls) == threads * calls_per_thread
    seqs = sorted(header(x)[2] for packets in calls for x in packets)
    assert seqs == list(range(4 * len(calls)))
    for packets in calls:
        hs = [header(x) for x in packets]
        assert [h[2] for h in hs] == list(range(hs[0][2], hs[0][2] + 4))
        assert len({h[3] for h in hs}) == 1
        assert hs[0][3] == hs[0][2] // 4 * 10


class BadIndex:
    def __index__(self):
        try:
            raise ValueError("inner")
        except ValueError as err:
            raise TypeError("bad index") from err


@pytest.mark.parametrize("call, error, message", [
    (lambda p: p.packetize(b""), TypeError,
     "H264Packetizer.packetize() missing 1 required positional argument: 'timestamp_increment'"),
    (lambda p: p.packetize(), TypeError,
     "H264Packetizer.packetize() missing 2 required positional arguments: "
     "'frame_data' and 'timestamp_increment'"),
    (lambda p: p.packetize(b"", 1, 2), TypeError,
     "H264Packetizer.packetize() takes 2 positional arguments but 3 were given"),
    (lambda p: p.packetize(b"", 1, x=2), TypeError,
     "H264Packetizer.packetize() got an unexpected keyword argument 'x'"),
    (lambda p: p.packetize(b"", 1, frame_data=b""), TypeError,
     "H264Packetizer.packetize() got multiple values for argument 'frame_data'"),
    (lambda p: p.packetize(bytearray(b"\x00\x00\x01\x41"), 1), TypeError,
     "argument 'frame_data': 'bytearray' object is not an instance of 'bytes'"),
    (lambda p: p.packetize(memoryview(b"\x00\x00\x01\x41"), 1), TypeError,
     "argument 'frame_data': 'memoryview' object is not an instance of 'bytes'"),
    (lambda p: p.packetize("abc", 1), TypeError,
     "argument 'frame_data': 'str' object is not an instance of 'bytes'"),
    (lambda p: p.packetize(None, 1), TypeError,
     "argument 'frame_data': 'NoneType' object is not an instance of 'bytes'"),
    (lambda p: p.packetize(b"", 1.0), TypeError,
     "argument 'timestamp_increment': 'float' object cannot be interpreted as an integer"),
    (lambda p: p.packetize(b"", "1"), TypeError,
     "argument 'timestamp_increment': 'str' object cannot be interpreted as an integer"),
    (lambda p: p.packetize(b"", BadIndex()), TypeError,
     "argument 'timestamp_increment': bad index"),
    (lambda p: p.packetize(b"", -1), OverflowError, OUT_OF_RANGE),
    (lambda p: p.packetize(b"", 2**32), OverflowError, OUT_OF_RANGE),
    (lambda p: p.packetize(b"", 2**64), OverflowError, None),
    (lambda p: p.packetize(b"", -(2**64)), OverflowError, None),
    # The first failing argument wins.
    (lambda p: p.packetize(bytearray(), -1), TypeError,
     "argument 'frame_data': 'bytearray' object is not an instance of 'bytes'"),
    (lambda p: rtsp.H264Packetizer(1, 2), TypeError,
     "H264Packetizer.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda p: rtsp.H264Packetizer(payload_type=96), TypeError,
     "H264Packetizer.__new__() got an unexpected keyword argument 'payload_type'"),
    (lambda p: rtsp.H264Packetizer(96, pt=96), TypeError,
     "H264Packetizer.__new__() got multiple values for argument 'pt'"),
    (lambda p: rtsp.H264Packetizer("96"), TypeError,
     "argument 'pt': 'str' object cannot be interpreted as an integer"),
    (lambda p: rtsp.H264Packetizer(None), TypeError,
     "argument 'pt': 'NoneType' object cannot be interpreted as an integer"),
    (lambda p: rtsp.H264Packetizer(-1), OverflowError, OUT_OF_RANGE),
    (lambda p: rtsp.H264Packetizer(256), OverflowError, OUT_OF_RANGE),
    (lambda p: rtsp.H264Packetizer(300), OverflowError, OUT_OF_RANGE),
    (lambda p: rtsp.H264Packetizer(2**64), OverflowError, None),
])
def test_argument_errors(call, error, message):
    p = rtsp.H264Packetizer()
    with pytest.raises(error) as info:
        call(p)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    if error is OverflowError and message is None:
        assert str(info.value) != OUT_OF_RANGE  # the interpreter's own error
    # A refused call leaves the packetizer untouched.
    [packet] = p.packetize(annexb(nal(0x41, 4)), 0)
    assert header(packet)[2:4] == (0, 0)


def test_wrapped_type_error_keeps_the_original_cause():
    with pytest.raises(TypeError) as info:
        rtsp.H264Packetizer(BadIndex())
    assert str(info.value) == "argument 'pt': bad index"
    assert isinstance(info.value.__cause__, ValueError)
    assert str(info.value.__cause__) == "inner"
    with pytest.raises(TypeError) as info:
        rtsp.H264Packetizer("96")
    assert info.value.__cause__ is None
