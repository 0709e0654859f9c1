// Fuzz target: arbitrary bytes as one access unit. Checks that every packet
// fits the payload limit, that only the frame's last packet has the marker,
// that sequence numbers run on, and that the packets carry exactly the
// extracted NAL units (whole, or reassembled from FU-A fragments).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "media/h264.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kMax = rtsp::H264Packetizer::kMaxPayloadSize;
  static rtsp::H264Packetizer packetizer(rtsp::RtpHeader(96, 0x01020304));
  const std::span<const std::uint8_t> frame(data, size);

  const auto units = rtsp::H264Packetizer::extract_nal_units(frame);
  const std::uint16_t first_seq = packetizer.next_sequence();
  const std::uint32_t timestamp = packetizer.next_rtp_timestamp();
  const auto packets = packetizer.packetize(frame, 3000);
  check(packetizer.next_rtp_timestamp() == timestamp + 3000u);

  std::vector<std::span<const std::uint8_t>> payloads;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    const auto bytes = packets[i].bytes();
    check(bytes.size() > rtsp::kRtpHeaderSize);
    check(bytes.size() - rtsp::kRtpHeaderSize <= kMax);
    check(bytes[0] == 0x80);
    check(((bytes[1] & 0x80) != 0) == (i + 1 == packets.size()));
    check(static_cast<std::uint16_t>((bytes[2] << 8) | bytes[3]) ==
          static_cast<std::uint16_t>(first_seq + i));
    const std::uint32_t ts = (std::uint32_t{bytes[4]} << 24) | (std::uint32_t{bytes[5]} << 16) |
                             (std::uint32_t{bytes[6]} << 8) | bytes[7];
    check(ts == timestamp);
    payloads.push_back(bytes.subspan(rtsp::kRtpHeaderSize));
  }

  std::size_t next = 0;
  for (const auto unit : units) {
    check(!unit.empty());
    if (unit.size() <= kMax) {
      check(next < payloads.size());
      const auto payload = payloads[next++];
      check(std::ranges::equal(payload, unit));
      continue;
    }
    std::vector<std::uint8_t> rebuilt;
    const std::size_t fragments = (unit.size() - 1 + kMax - 3) / (kMax - 2);
    for (std::size_t f = 0; f < fragments; ++f) {
      check(next < payloads.size());
      const auto payload = payloads[next++];
      check(payload.size() >= 3);
      check(payload[0] == ((unit[0] & 0x60) | 28));
      const std::uint8_t fu = payload[1];
      check(((fu & 0x80) != 0) == (f == 0));
      check(((fu & 0x40) != 0) == (f + 1 == fragments));
      check((fu & 0x20) == 0);
      check((fu & 0x1F) == (unit[0] & 0x1F));
      if (f == 0) rebuilt.push_back(static_cast<std::uint8_t>((payload[0] & 0xE0) | (fu & 0x1F)));
      rebuilt.insert(rebuilt.end(), payload.begin() + 2, payload.end());
    }
    // FU-A does not carry the header's F bit.
    check(rebuilt.size() == unit.size());
    check(rebuilt[0] == (unit[0] & 0x7F));
    check(std::equal(unit.begin() + 1, unit.end(), rebuilt.begin() + 1));
  }
  check(next == payloads.size());
  return 0;
}
