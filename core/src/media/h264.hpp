// H264Packetizer: Annex B access units into RTP packets, H.264 payload format
// with packetization mode 1 (single NAL unit packets and FU-A fragments).
//
// Captures the first SPS and the first PPS it ever sees for the SDP "fmtp"
// line; later parameter sets are sent in-band but change nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "media/packetizer.hpp"
#include "media/rtp.hpp"

namespace rtsp {

class H264Packetizer final : public Packetizer {
 public:
  static constexpr std::size_t kMaxPayloadSize = 1400;

  explicit H264Packetizer(RtpHeader header);
  static H264Packetizer with_random_ssrc(std::uint8_t payload_type);

  // The NAL units of an Annex B byte stream, in order: split at 00 00 00 01
  // and 00 00 01 start codes (the 4-byte form tested first); empty units and
  // bytes before the first start code dropped. The spans point into `data`.
  static std::vector<std::span<const std::uint8_t>> extract_nal_units(
      std::span<const std::uint8_t> data);

  std::vector<RtpPacket> packetize(std::span<const std::uint8_t> frame,
                                   std::uint32_t timestamp_increment) override;
  std::string_view codec_name() const override { return "H264"; }
  std::uint32_t clock_rate() const override { return 90000; }
  std::uint8_t payload_type() const override { return header_.payload_type(); }
  std::vector<std::string> sdp_attributes() const override;
  std::uint16_t next_sequence() const override { return header_.sequence(); }
  std::uint32_t next_rtp_timestamp() const override {
    return static_cast<std::uint32_t>(header_.timestamp());
  }

  const RtpHeader& header() const noexcept { return header_; }

 private:
  // Appends the packets of one NAL unit (n >= 1) to `out`.
  void packetize_nal(std::span<const std::uint8_t> nal, bool is_last, std::vector<RtpPacket>& out);

  RtpHeader header_;
  std::optional<std::vector<std::uint8_t>> sps_;
  std::optional<std::vector<std::uint8_t>> pps_;
};

}  // namespace rtsp
