#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "capture_sink.hpp"
#include "media/h264.hpp"

namespace rtsp {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kSsrc = 0x11223344;

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

const Bytes kStart4{0, 0, 0, 1};
const Bytes kStart3{0, 0, 1};

// A NAL unit of `size` bytes with header byte `header` and a body free of zeros.
Bytes nal(std::uint8_t header, std::size_t size) {
  Bytes out(size);
  out[0] = header;
  for (std::size_t i = 1; i < size; ++i) out[i] = static_cast<std::uint8_t>(1 + i % 250);
  return out;
}

std::vector<Bytes> extract(const Bytes& data) {
  std::vector<Bytes> out;
  for (const auto unit : H264Packetizer::extract_nal_units(data))
    out.emplace_back(unit.begin(), unit.end());
  return out;
}

struct Parsed {
  bool marker;
  std::uint8_t pt;
  std::uint16_t seq;
  std::uint32_t ts;
  std::uint32_t ssrc;
  Bytes payload;
};

Parsed parse(const RtpPacket& packet) {
  const std::uint8_t* p = packet.data();
  EXPECT_GE(packet.size(), kRtpHeaderSize);
  EXPECT_EQ(p[0], 0x80);
  return Parsed{
      (p[1] & 0x80) != 0,
      static_cast<std::uint8_t>(p[1] & 0x7F),
      static_cast<std::uint16_t>((p[2] << 8) | p[3]),
      (std::uint32_t{p[4]} << 24) | (std::uint32_t{p[5]} << 16) | (std::uint32_t{p[6]} << 8) | p[7],
      (std::uint32_t{p[8]} << 24) | (std::uint32_t{p[9]} << 16) | (std::uint32_t{p[10]} << 8) |
          p[11],
      Bytes(p + kRtpHeaderSize, p + packet.size()),
  };
}

// Rebuilds the NAL units carried by single NAL unit and FU-A packets.
std::vector<Bytes> reassemble(const std::vector<RtpPacket>& packets) {
  std::vector<Bytes> units;
  bool in_fragment = false;
  for (const auto& packet : packets) {
    const Bytes payload = parse(packet).payload;
    if (payload.empty()) {
      ADD_FAILURE() << "empty payload";
      continue;
    }
    if ((payload[0] & 0x1F) != 28) {
      EXPECT_FALSE(in_fragment) << "single NAL unit packet inside a fragmented unit";
      units.push_back(payload);
      continue;
    }
    EXPECT_GE(payload.size(), 3u);
    const std::uint8_t fu = payload[1];
    const bool start = (fu & 0x80) != 0;
    const bool end = (fu & 0x40) != 0;
    EXPECT_EQ(fu & 0x20, 0);
    EXPECT_NE(start, in_fragment) << "S bit out of place";
    if (start) units.push_back({static_cast<std::uint8_t>((payload[0] & 0xE0) | (fu & 0x1F))});
    units.back().insert(units.back().end(), payload.begin() + 2, payload.end());
    in_fragment = !end;
  }
  EXPECT_FALSE(in_fragment) << "last fragment missing";
  return units;
}

H264Packetizer make(std::uint8_t pt = 96) { return H264Packetizer(RtpHeader(pt, kSsrc)); }

// --- start-code scanning ---------------------------------------------------

TEST(ExtractNalUnits, SplitsAtStartCodes) {
  struct Case {
    const char* name;
    Bytes input;
    std::vector<Bytes> expected;
  };
  const Case cases[] = {
      {"empty input", {}, {}},
      {"no start code", {0x65, 0x01, 0x02, 0x00, 0x00}, {}},
      {"only start codes", {0, 0, 1, 0, 0, 1}, {}},
      {"adjacent 4- and 3-byte codes", {0, 0, 0, 1, 0, 0, 1, 0x41}, {{0x41}}},
      {"mixed forms",
       {0, 0, 0, 1, 0x67, 0xAA, 0, 0, 0, 1, 0x68, 0xBB, 0, 0, 1, 0x65, 0xCC},
       {{0x67, 0xAA}, {0x68, 0xBB}, {0x65, 0xCC}}},
      {"bytes before the first code dropped", {0x09, 0x10, 0, 0, 1, 0x41}, {{0x41}}},
      {"leading zero run dropped", {0, 0, 0, 0, 0, 1, 0x41}, {{0x41}}},
      {"4-byte form wins over 3-byte", {0, 0, 1, 0x41, 0, 0, 0, 1, 0x42}, {{0x41}, {0x42}}},
      {"zero before a 4-byte code stays",
       {0, 0, 1, 0x41, 0, 0, 0, 0, 1, 0x42},
       {{0x41, 0x00}, {0x42}}},
      {"trailing zeros stay", {0, 0, 1, 0x41, 0, 0}, {{0x41, 0x00, 0x00}}},
      {"code at the very end", {0, 0, 1, 0x41, 0, 0, 0, 1}, {{0x41}}},
      {"3-byte code at the very end", {0, 0, 1, 0x41, 0, 0, 1}, {{0x41}}},
      {"lone 01 bytes are data", {0, 0, 1, 0x01, 0x00, 0x01, 0x01}, {{0x01, 0x00, 0x01, 0x01}}},
      {"emulation prevention untouched",
       {0, 0, 1, 0x41, 0, 0, 3, 1, 0x02},
       {{0x41, 0x00, 0x00, 0x03, 0x01, 0x02}}},
      {"scanning resumes after the code", {0, 0, 1, 0, 0, 0, 1, 0x41}, {{0x41}}},
      {"zero taken by the next code", {0, 0, 1, 0, 0, 0, 1}, {}},
      {"unit that is a zero", {0, 0, 1, 0, 0, 0, 0, 1}, {{0x00}}},
  };
  for (const auto& c : cases) EXPECT_EQ(extract(c.input), c.expected) << c.name;
}

// The scan as a plain position-by-position walk; the real one must agree on
// inputs dense in zeros and ones, where start codes overlap and abut.
std::vector<Bytes> reference_extract(const Bytes& d) {
  struct Code {
    std::size_t begin, length;
  };
  std::vector<Code> codes;
  std::size_t i = 0;
  const std::size_t n = d.size();
  while (i < n) {
    if (i + 3 < n && d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 0 && d[i + 3] == 1) {
      codes.push_back({i + 4, 4});
      i += 4;
    } else if (i + 2 < n && d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
      codes.push_back({i + 3, 3});
      i += 3;
    } else {
      ++i;
    }
  }
  std::vector<Bytes> out;
  for (std::size_t k = 0; k < codes.size(); ++k) {
    const std::size_t end = k + 1 < codes.size() ? codes[k + 1].begin - codes[k + 1].length : n;
    if (end > codes[k].begin) out.emplace_back(d.begin() + codes[k].begin, d.begin() + end);
  }
  return out;
}

TEST(ExtractNalUnits, AgreesWithPositionByPositionScan) {
  std::mt19937 rng(12345);
  const std::uint8_t alphabet[] = {0, 0, 0, 0, 1, 1, 0x65};
  for (int round = 0; round < 20000; ++round) {
    Bytes data(rng() % 24);
    for (auto& b : data) b = alphabet[rng() % sizeof alphabet];
    ASSERT_EQ(extract(data), reference_extract(data)) << "round " << round;
  }
}

// --- packet layout ---------------------------------------------------------

TEST(H264Packetizer, SingleNalUnitPacketLayout) {
  auto p = make();
  const auto packets = p.packetize(join({kStart4, {0x65, 0x01, 0x02, 0x03}}), 3000);
  ASSERT_EQ(packets.size(), 1u);
  const Bytes expected{0x80, 0xE0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0x11, 0x22, 0x33, 0x44, 0x65, 0x01, 0x02, 0x03};
  EXPECT_EQ(Bytes(packets[0].bytes().begin(), packets[0].bytes().end()), expected);
}

TEST(H264Packetizer, FragmentsOnlyAbove1400Bytes) {
  struct Case {
    std::size_t nal_size;
    std::vector<std::size_t> packet_sizes;
  };
  const Case cases[] = {
      {1, {13}},
      {1400, {1412}},
      {1401, {1412, 16}},
      {1 + 2 * 1398, {1412, 1412}},
      {2 + 2 * 1398, {1412, 1412, 15}},
      {5000, {1412, 1412, 1412, 819}},
  };
  for (const auto& c : cases) {
    auto p = make();
    const auto packets = p.packetize(join({kStart3, nal(0x65, c.nal_size)}), 0);
    std::vector<std::size_t> sizes;
    for (const auto& packet : packets) sizes.push_back(packet.size());
    EXPECT_EQ(sizes, c.packet_sizes) << "NAL unit of " << c.nal_size << " bytes";
    for (const auto& packet : packets) EXPECT_LE(packet.size() - kRtpHeaderSize, 1400u);
  }
}

TEST(H264Packetizer, FuIndicatorAndHeaderBytes) {
  struct Case {
    std::uint8_t nal_header;
    std::uint8_t indicator;
    std::uint8_t first, middle, last;
  };
  const Case cases[] = {
      {0x65, 0x7C, 0x85, 0x05, 0x45}, {0x41, 0x5C, 0x81, 0x01, 0x41},
      {0x01, 0x1C, 0x81, 0x01, 0x41}, {0x25, 0x3C, 0x85, 0x05, 0x45},
      {0xE5, 0x7C, 0x85, 0x05, 0x45},  // F bit is not carried into the indicator
  };
  for (const auto& c : cases) {
    auto p = make();
    const auto packets = p.packetize(join({kStart4, nal(c.nal_header, 3000)}), 0);
    ASSERT_EQ(packets.size(), 3u);
    for (const auto& packet : packets) EXPECT_EQ(packet.data()[12], c.indicator);
    EXPECT_EQ(packets[0].data()[13], c.first);
    EXPECT_EQ(packets[1].data()[13], c.middle);
    EXPECT_EQ(packets[2].data()[13], c.last);
  }
}

TEST(H264Packetizer, FragmentsCarryTheBodyInOrderWithoutTheNalHeader) {
  auto p = make();
  const Bytes unit = nal(0x65, 1401);
  const auto packets = p.packetize(join({kStart4, unit}), 0);
  ASSERT_EQ(packets.size(), 2u);
  const Bytes first = parse(packets[0]).payload;
  const Bytes second = parse(packets[1]).payload;
  EXPECT_EQ(Bytes(first.begin() + 2, first.end()), Bytes(unit.begin() + 1, unit.begin() + 1399));
  EXPECT_EQ(Bytes(second.begin() + 2, second.end()), Bytes(unit.begin() + 1399, unit.end()));
}

TEST(H264Packetizer, MarkerOnlyOnTheLastPacketOfTheFrame) {
  struct Case {
    const char* name;
    Bytes frame;
    std::size_t packets;
  };
  const Case cases[] = {
      {"SPS, PPS, small IDR",
       join({kStart4, nal(0x67, 10), kStart4, nal(0x68, 4), kStart3, nal(0x65, 300)}), 3},
      {"SPS, PPS, large IDR",
       join({kStart4, nal(0x67, 10), kStart4, nal(0x68, 4), kStart3, nal(0x65, 4000)}), 5},
      {"large first unit, small second", join({kStart4, nal(0x65, 3000), kStart4, nal(0x06, 5)}),
       4},
      {"two large units", join({kStart4, nal(0x65, 3000), kStart3, nal(0x65, 3000)}), 6},
  };
  for (const auto& c : cases) {
    auto p = make();
    for (int frame = 0; frame < 2; ++frame) {
      const auto packets = p.packetize(c.frame, 3000);
      ASSERT_EQ(packets.size(), c.packets) << c.name;
      for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(parse(packets[i]).marker, i + 1 == packets.size()) << c.name << " packet " << i;
      }
    }
  }
}

TEST(H264Packetizer, EveryUnitIsSentWhateverItsType) {
  auto p = make();
  Bytes frame;
  std::vector<Bytes> expected;
  for (std::uint8_t type = 0; type < 32; ++type) {
    if (type == 28) continue;  // would read back as a fragment
    expected.push_back(nal(static_cast<std::uint8_t>(0x60 | type), 8));
    frame = join({frame, kStart3, expected.back()});
  }
  EXPECT_EQ(reassemble(p.packetize(frame, 1)), expected);
}

// --- counters --------------------------------------------------------------

TEST(H264Packetizer, SequenceAndTimestampAdvance) {
  auto p = make();
  EXPECT_EQ(p.next_sequence(), 0);
  EXPECT_EQ(p.next_rtp_timestamp(), 0u);

  const auto first = p.packetize(join({kStart4, nal(0x65, 3000), kStart4, nal(0x41, 10)}), 3000);
  ASSERT_EQ(first.size(), 4u);
  for (std::size_t i = 0; i < first.size(); ++i) {
    const Parsed packet = parse(first[i]);
    EXPECT_EQ(packet.seq, i);
    EXPECT_EQ(packet.ts, 0u);
    EXPECT_EQ(packet.ssrc, kSsrc);
    EXPECT_EQ(packet.pt, 96);
  }
  EXPECT_EQ(p.next_sequence(), 4);
  EXPECT_EQ(p.next_rtp_timestamp(), 3000u);

  EXPECT_TRUE(p.packetize({}, 1500).empty());
  EXPECT_TRUE(p.packetize(Bytes{1, 2, 3}, 1500).empty());
  EXPECT_EQ(p.next_sequence(), 4);
  EXPECT_EQ(p.next_rtp_timestamp(), 6000u);

  const auto second = p.packetize(join({kStart3, nal(0x41, 10)}), 0);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(parse(second[0]).seq, 4);
  EXPECT_EQ(parse(second[0]).ts, 6000u);
}

TEST(H264Packetizer, SequenceWrapsInsideAFrame) {
  auto p = make();
  const Bytes small = join({kStart3, nal(0x41, 4)});
  for (int i = 0; i < 65535; ++i) p.packetize(small, 0);
  EXPECT_EQ(p.next_sequence(), 65535);
  const auto packets = p.packetize(join({kStart3, nal(0x65, 3000)}), 0);
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(parse(packets[0]).seq, 65535);
  EXPECT_EQ(parse(packets[1]).seq, 0);
  EXPECT_EQ(parse(packets[2]).seq, 1);
  EXPECT_EQ(p.next_sequence(), 2);
}

TEST(H264Packetizer, TimestampWrapsPast32Bits) {
  auto p = make();
  const Bytes frame = join({kStart3, nal(0x41, 4)});
  p.packetize(frame, 0xFFFFFFFF);
  p.packetize(frame, 0xFFFFFFFF);
  EXPECT_EQ(p.header().timestamp(), 0x1FFFFFFFEULL);
  EXPECT_EQ(p.next_rtp_timestamp(), 0xFFFFFFFEu);
  p.packetize(frame, 3);
  EXPECT_EQ(p.next_rtp_timestamp(), 1u);
  const auto packets = p.packetize(frame, 0);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(parse(packets[0]).ts, 1u);
}

TEST(H264Packetizer, PayloadTypeAbove127IsWrittenUnmasked) {
  auto p = make(200);
  const auto packets = p.packetize(join({kStart3, nal(0x65, 2000), kStart3, nal(0x41, 3)}), 0);
  ASSERT_EQ(packets.size(), 3u);
  for (const auto& packet : packets) EXPECT_EQ(packet.data()[1], 0xC8);
  EXPECT_EQ(p.payload_type(), 200);
}

// --- parameter sets and SDP ------------------------------------------------

const Bytes kSps{0x67, 0x42, 0xC0, 0x1F, 0xAA};
const Bytes kPps{0x68, 0xCE, 0x3C, 0x80};

TEST(H264Packetizer, ConstantOperations) {
  auto p = make(97);
  EXPECT_EQ(p.codec_name(), "H264");
  EXPECT_EQ(p.clock_rate(), 90000u);
  EXPECT_EQ(p.payload_type(), 97);
  const std::vector<std::string> expected{"a=rtpmap:97 H264/90000",
                                          "a=fmtp:97 packetization-mode=1", "a=control:track1"};
  EXPECT_EQ(p.sdp_attributes(), expected);
}

TEST(H264Packetizer, FormatParametersFollowTheCapturedParameterSets) {
  struct Case {
    const char* name;
    std::vector<Bytes> frames;
    std::string fmtp;
  };
  const Case cases[] = {
      {"none", {join({kStart3, nal(0x65, 5)})}, "a=fmtp:96 packetization-mode=1"},
      {"SPS and PPS",
       {join({kStart4, kSps, kStart4, kPps, kStart3, nal(0x65, 5)})},
       "a=fmtp:96 "
       "packetization-mode=1;profile-level-id=42c01f;sprop-parameter-sets=Z0LAH6o=,aM48gA=="},
      {"SPS only",
       {join({kStart4, kSps})},
       "a=fmtp:96 packetization-mode=1;profile-level-id=42c01f"},
      {"PPS only", {join({kStart4, kPps})}, "a=fmtp:96 packetization-mode=1"},
      {"short SPS and PPS",
       {join({kStart4, {0x67, 0x42, 0xC0}, kStart4, kPps})},
       "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0LA,aM48gA=="},
      {"in separate frames",
       {join({kStart4, kPps}), join({kStart4, kSps})},
       "a=fmtp:96 "
       "packetization-mode=1;profile-level-id=42c01f;sprop-parameter-sets=Z0LAH6o=,aM48gA=="},
      {"first of each kept within a frame",
       {join({kStart4,
              kSps,
              kStart4,
              kPps,
              kStart4,
              {0x67, 0x64, 0x00, 0x28},
              kStart4,
              {0x68, 0x01}})},
       "a=fmtp:96 "
       "packetization-mode=1;profile-level-id=42c01f;sprop-parameter-sets=Z0LAH6o=,aM48gA=="},
      {"later parameter sets ignored",
       {join({kStart4, kSps, kStart4, kPps}),
        join({kStart4, {0x67, 0x64, 0x00, 0x28}, kStart4, {0x68, 0x01}})},
       "a=fmtp:96 "
       "packetization-mode=1;profile-level-id=42c01f;sprop-parameter-sets=Z0LAH6o=,aM48gA=="},
      {"zero-padded hex",
       {join({kStart4, {0x27, 0x0A, 0x00, 0x05}})},
       "a=fmtp:96 packetization-mode=1;profile-level-id=0a0005"},
  };
  for (const auto& c : cases) {
    auto p = make();
    for (const auto& frame : c.frames) p.packetize(frame, 0);
    const auto lines = p.sdp_attributes();
    ASSERT_EQ(lines.size(), 3u) << c.name;
    EXPECT_EQ(lines[0], "a=rtpmap:96 H264/90000") << c.name;
    EXPECT_EQ(lines[1], c.fmtp) << c.name;
    EXPECT_EQ(lines[2], "a=control:track1") << c.name;
  }
}

TEST(H264Packetizer, LaterParameterSetsAreStillSent) {
  auto p = make();
  p.packetize(join({kStart4, kSps, kStart4, kPps}), 0);
  const Bytes other_sps{0x67, 0x64, 0x00, 0x28};
  const auto packets = p.packetize(join({kStart4, other_sps, kStart3, nal(0x65, 20)}), 0);
  const std::vector<Bytes> expected{other_sps, nal(0x65, 20)};
  EXPECT_EQ(reassemble(packets), expected);
}

// --- events ----------------------------------------------------------------

TEST(H264Packetizer, EmitsCaptureFragmentAndFrameEvents) {
  test_support::ScopedCapture capture;
  auto p = make();
  const Bytes frame = join({kStart4, kSps, kStart4, kPps, kStart3, nal(0x65, 3000)});
  p.packetize(frame, 0xFFFFFFFF);
  p.packetize(frame, 2);

  const char* target = "rtsp::media::h264";
  const auto sps = capture->find("H.264 SPS captured from bitstream (5 bytes)", target);
  const auto pps = capture->find("H.264 PPS captured from bitstream (4 bytes)", target);
  ASSERT_EQ(sps.size(), 1u);
  ASSERT_EQ(pps.size(), 1u);
  EXPECT_EQ(sps[0].level, log::Level::Debug);
  EXPECT_TRUE(sps[0].fields.empty());

  const auto fragmented = capture->find("FU-A fragmented NAL unit", target);
  ASSERT_EQ(fragmented.size(), 2u);
  EXPECT_EQ(fragmented[0].level, log::Level::Trace);
  EXPECT_EQ(fragmented[0].number("nal_type"), 5u);
  EXPECT_EQ(fragmented[0].number("nal_size"), 3000u);
  EXPECT_EQ(fragmented[0].number("fragments"), 3u);

  const auto frames = capture->find("frame packetized", target);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].level, log::Level::Trace);
  EXPECT_EQ(frames[0].number("nal_count"), 3u);
  EXPECT_EQ(frames[0].number("rtp_packets"), 5u);
  EXPECT_EQ(frames[0].number("frame_bytes"), frame.size());
  EXPECT_EQ(frames[0].number("seq"), 5u);
  EXPECT_EQ(frames[0].number("ts"), 0xFFFFFFFFu);
  EXPECT_EQ(frames[1].number("seq"), 10u);
  EXPECT_EQ(frames[1].number("ts"), 0x100000001ULL);

  capture->clear();
  p.packetize(Bytes{7, 7}, 5);
  const auto empty = capture->find("frame packetized", target);
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_EQ(empty[0].number("nal_count"), 0u);
  EXPECT_EQ(empty[0].number("rtp_packets"), 0u);
  EXPECT_EQ(empty[0].number("frame_bytes"), 2u);
  EXPECT_EQ(empty[0].number("ts"), 0x100000006ULL);
}

TEST(H264Packetizer, RandomSsrcConstructorEmitsHeaderEvent) {
  test_support::ScopedCapture capture;
  auto p = H264Packetizer::with_random_ssrc(96);
  EXPECT_EQ(p.payload_type(), 96);
  EXPECT_EQ(p.next_sequence(), 0);
  const auto events = capture->find("RTP header state created", "rtsp::media::rtp");
  ASSERT_EQ(events.size(), 1u);
  char expected[11];
  std::snprintf(expected, sizeof expected, "0x%08X", static_cast<unsigned>(p.header().ssrc()));
  EXPECT_EQ(events[0].field("ssrc"), expected);
}

// --- randomized round trip -------------------------------------------------

// A NAL unit that cannot contain or end in a start code: never two zeros in a
// row and never a zero at the end; header F bit clear, type a real NAL type.
Bytes random_nal(std::mt19937& rng) {
  std::uniform_int_distribution<std::size_t> length(1, 5000);
  Bytes out(length(rng));
  out[0] = static_cast<std::uint8_t>((rng() & 0x60) | (1 + rng() % 23));
  for (std::size_t i = 1; i < out.size(); ++i) {
    std::uint8_t b = static_cast<std::uint8_t>(rng() % 4 == 0 ? 0 : rng());
    if (b == 0 && (out[i - 1] == 0 || i + 1 == out.size()))
      b = static_cast<std::uint8_t>(1 + rng() % 255);
    out[i] = b;
  }
  return out;
}

TEST(H264Packetizer, RandomFramesSurviveAPacketizeReassembleRoundTrip) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  auto p = make();
  std::uint16_t seq = 0;
  std::uint32_t ts = 0;
  for (int frame_index = 0; frame_index < 300; ++frame_index) {
    std::vector<Bytes> units(1 + rng() % 8);
    Bytes frame;
    for (auto& unit : units) {
      unit = random_nal(rng);
      frame = join({frame, rng() % 2 ? kStart3 : kStart4, unit});
    }
    const std::uint32_t increment = rng();
    const auto packets = p.packetize(frame, increment);
    ASSERT_EQ(reassemble(packets), units) << "frame " << frame_index;
    for (std::size_t i = 0; i < packets.size(); ++i) {
      const Parsed packet = parse(packets[i]);
      EXPECT_LE(packet.payload.size(), 1400u);
      EXPECT_EQ(packet.marker, i + 1 == packets.size());
      EXPECT_EQ(packet.seq, seq++);
      EXPECT_EQ(packet.ts, ts);
      EXPECT_EQ(packet.ssrc, kSsrc);
    }
    ts += increment;
  }
}

}  // namespace
}  // namespace rtsp
