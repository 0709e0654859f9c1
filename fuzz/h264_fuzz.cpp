// Fuzz target: the H.264 packetizer against a receiver-side oracle.
//
// The input is a run of frames, each written as a 4-byte little-endian
// timestamp increment, a 3-byte little-endian length and that many bytes of
// Annex B data (a short final frame takes what is left). For every frame:
//  - a receiver that depacketizes single NAL unit and FU-A packets gets back
//    exactly the NAL units extract_nal_units finds (FU-A drops the forbidden
//    bit of the NAL header);
//  - no packet is larger than 12 + 1400 bytes, and FU-A fragments are full
//    except the last;
//  - sequence numbers run on across frames, the marker is on the frame's
//    last packet only, and every packet carries the timestamp the previous
//    increments add up to;
//  - the SDP profile-level-id follows the first SPS of at least 4 bytes.
//
// NAL types 28 and 29 are the payload format's own fragment types: a single
// NAL unit packet holding one looks like a fragment to any receiver. Where
// the scan found such a unit, the oracle takes the packet whole; the
// packetizer never marks them otherwise, so this is the receiver's ambiguity,
// not a licence for the packetizer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "media/h264.hpp"

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::size_t kMaxPayload = rtsp::H264Packetizer::kMaxPayloadSize;
constexpr std::uint8_t kFuA = 28;

std::uint8_t nal_type(std::uint8_t header) { return header & 0x1F; }

bool is_fragment_type(std::uint8_t header) {
  return nal_type(header) == 28 || nal_type(header) == 29;
}

std::uint32_t read_le(Bytes& in, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width && !in.empty(); ++i) {
    value |= std::uint32_t{in.front()} << (8 * i);
    in = in.subspan(1);
  }
  return value;
}

std::uint32_t timestamp_of(Bytes packet) {
  return (std::uint32_t{packet[4]} << 24) | (std::uint32_t{packet[5]} << 16) |
         (std::uint32_t{packet[6]} << 8) | packet[7];
}

// Reassembles the NAL units of one frame from its RTP payloads. `expected`
// is consulted only to take a type 28/29 unit sent whole as such.
std::vector<std::vector<std::uint8_t>> depacketize(const std::vector<Bytes>& payloads,
                                                   const std::vector<Bytes>& expected) {
  std::vector<std::vector<std::uint8_t>> units;
  std::optional<std::vector<std::uint8_t>> partial;
  for (const Bytes payload : payloads) {
    FUZZ_CHECK(!payload.empty());
    const bool whole_reserved = !partial && units.size() < expected.size() &&
                                is_fragment_type(expected[units.size()][0]) &&
                                std::ranges::equal(payload, expected[units.size()]);
    if (nal_type(payload[0]) != kFuA || whole_reserved) {
      FUZZ_CHECK(!partial);  // nothing may interrupt a fragmented unit
      units.emplace_back(payload.begin(), payload.end());
      continue;
    }
    FUZZ_CHECK(payload.size() >= 3);
    FUZZ_CHECK((payload[0] & 0x80) == 0);
    const std::uint8_t fu = payload[1];
    const bool start = (fu & 0x80) != 0;
    const bool end = (fu & 0x40) != 0;
    FUZZ_CHECK((fu & 0x20) == 0);
    FUZZ_CHECK(!(start && end));
    FUZZ_CHECK(start == !partial);
    if (start) {
      partial.emplace(1, static_cast<std::uint8_t>((payload[0] & 0x60) | nal_type(fu)));
    } else {
      FUZZ_CHECK(nal_type((*partial)[0]) == nal_type(fu));
      FUZZ_CHECK(((*partial)[0] & 0x60) == (payload[0] & 0x60));
    }
    // Every fragment but the last is filled to the limit.
    FUZZ_CHECK(end || payload.size() == kMaxPayload);
    partial->insert(partial->end(), payload.begin() + 2, payload.end());
    if (end) {
      FUZZ_CHECK(partial->size() > kMaxPayload);  // a unit that fits is never fragmented
      units.push_back(std::move(*partial));
      partial.reset();
    }
  }
  FUZZ_CHECK(!partial);
  return units;
}

std::string hex3(Bytes sps) {
  char text[7];
  std::snprintf(text, sizeof text, "%02x%02x%02x", sps[1], sps[2], sps[3]);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  rtsp::H264Packetizer packetizer(rtsp::RtpHeader(96, 0x01020304));
  Bytes in(data, size);
  std::uint16_t next_seq = packetizer.next_sequence();
  std::uint32_t timestamp = packetizer.next_rtp_timestamp();
  std::optional<std::vector<std::uint8_t>> first_sps;

  while (!in.empty()) {
    const std::uint32_t increment = read_le(in, 4);
    const std::size_t length = std::min<std::size_t>(read_le(in, 3), in.size());
    const Bytes frame = in.first(length);
    in = in.subspan(length);

    const auto expected = rtsp::H264Packetizer::extract_nal_units(frame);
    for (const Bytes unit : expected) {
      FUZZ_CHECK(!unit.empty());
      if (!first_sps && nal_type(unit[0]) == 7) first_sps.emplace(unit.begin(), unit.end());
    }
    const auto packets = packetizer.packetize(frame, increment);

    std::vector<Bytes> payloads;
    for (std::size_t i = 0; i < packets.size(); ++i) {
      const Bytes bytes = packets[i].bytes();
      FUZZ_CHECK(bytes.size() > rtsp::kRtpHeaderSize);
      FUZZ_CHECK(bytes.size() <= rtsp::kRtpHeaderSize + kMaxPayload);
      FUZZ_CHECK(bytes[0] == 0x80);
      FUZZ_CHECK((bytes[1] & 0x7F) == 96);
      FUZZ_CHECK(((bytes[1] & 0x80) != 0) == (i + 1 == packets.size()));
      FUZZ_CHECK(((bytes[2] << 8) | bytes[3]) == next_seq);
      FUZZ_CHECK(timestamp_of(bytes) == timestamp);
      ++next_seq;
      payloads.push_back(bytes.subspan(rtsp::kRtpHeaderSize));
    }

    const auto units = depacketize(payloads, expected);
    FUZZ_CHECK(units.size() == expected.size());
    for (std::size_t k = 0; k < units.size(); ++k) {
      const Bytes sent = expected[k];
      const std::vector<std::uint8_t>& got = units[k];
      FUZZ_CHECK(got.size() == sent.size());
      if (sent.size() > kMaxPayload) {
        FUZZ_CHECK(got[0] == (sent[0] & 0x7F));
        FUZZ_CHECK(std::equal(got.begin() + 1, got.end(), sent.begin() + 1));
      } else {
        FUZZ_CHECK(std::ranges::equal(got, sent));
      }
    }

    timestamp += increment;
    FUZZ_CHECK(packetizer.next_sequence() == next_seq);
    FUZZ_CHECK(packetizer.next_rtp_timestamp() == timestamp);
  }

  const auto attributes = packetizer.sdp_attributes();
  FUZZ_CHECK(attributes.size() == 3);
  const bool has_level = first_sps && first_sps->size() >= 4;
  const std::size_t level = attributes[1].find(";profile-level-id=");
  FUZZ_CHECK((level != std::string::npos) == has_level);
  if (has_level) FUZZ_CHECK(attributes[1].substr(level + 18, 6) == hex3(*first_sps));
  return 0;
}
