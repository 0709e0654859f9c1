#include "media/rtp.hpp"

#include <array>
#include <string_view>

#include "log.hpp"
#include "media/random.hpp"

namespace rtsp {

namespace {

// "0x" and eight upper-case hex digits, without allocating.
std::array<char, 10> ssrc_text(std::uint32_t ssrc) noexcept {
  constexpr char kDigits[] = "0123456789ABCDEF";
  std::array<char, 10> out{'0', 'x'};
  for (int i = 0; i < 8; ++i)
    out[static_cast<std::size_t>(2 + i)] = kDigits[(ssrc >> (28 - 4 * i)) & 0xF];
  return out;
}

void put_be16(std::uint8_t* p, std::uint16_t v) noexcept {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

void put_be32(std::uint8_t* p, std::uint32_t v) noexcept {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

RtpPacket::RtpPacket(std::size_t size)
    : data_(std::make_unique_for_overwrite<std::uint8_t[]>(size)), size_(size) {}

RtpHeader::RtpHeader(std::uint8_t payload_type, std::uint32_t ssrc)
    : payload_type_(payload_type), ssrc_(ssrc) {
  RTSP_EVENT(log::Level::Debug, "rtsp::media::rtp", "RTP header state created",
             {"pt", payload_type_}, {"ssrc", std::string_view(ssrc_text(ssrc_).data(), 10)});
}

RtpHeader RtpHeader::with_random_ssrc(std::uint8_t payload_type) {
  return RtpHeader(payload_type, random_u32());
}

void RtpHeader::write_next(std::uint8_t* out, bool marker) noexcept {
  out[0] = 0x80;
  // The payload type is not masked: a value of 128 or more shows in the marker bit.
  out[1] = static_cast<std::uint8_t>((marker ? 0x80 : 0x00) | payload_type_);
  put_be16(out + 2, sequence_);
  put_be32(out + 4, static_cast<std::uint32_t>(timestamp_));
  put_be32(out + 8, ssrc_);
  sequence_ = static_cast<std::uint16_t>(sequence_ + 1);
}

}  // namespace rtsp
