// H264Packetizer: Annex B access units into RTP packets, H.264 payload format
// with packetization mode 1 (single NAL unit packets and FU-A fragments).
//
// Captures the first SPS and the first PPS it ever sees for the SDP "fmtp"
// line; later parameter sets are sent in-band but change nothing.
#pragma once

#include <algorithm>
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
  // FU-A payload bytes per fragment, after the indicator and the FU header.
  static constexpr std::size_t kFuChunkSize = kMaxPayloadSize - 2;

  // What one frame becomes: planned under the packetizer's lock (the stream
  // state advances), rendered by `render` without it.
  struct FramePlan {
    RtpHeader header;  // the state the frame's first packet is written with
    std::vector<std::span<const std::uint8_t>> units;  // into the frame's bytes
    std::size_t packet_count = 0;
  };

  explicit H264Packetizer(RtpHeader header);
  static H264Packetizer with_random_ssrc(std::uint8_t payload_type);

  // The NAL units of an Annex B byte stream, in order: split at 00 00 00 01
  // and 00 00 01 start codes (the 4-byte form tested first); empty units and
  // bytes before the first start code dropped. The spans point into `data`.
  static std::vector<std::span<const std::uint8_t>> extract_nal_units(
      std::span<const std::uint8_t> data);

  std::vector<RtpPacket> packetize(std::span<const std::uint8_t> frame,
                                   std::uint32_t timestamp_increment) override;

  // The packetize of one frame without writing a packet: finds its NAL units,
  // captures SPS and PPS, takes its sequence numbers and advances the
  // timestamp, with the same events. The frame must outlive the plan.
  FramePlan plan(std::span<const std::uint8_t> frame, std::uint32_t timestamp_increment);

  // Writes the plan's packets in order. For each, `buffer(size)` gives where
  // its `size` bytes go, or nullptr to stop (then false is returned).
  template <class Buffer>
  static bool render(FramePlan& plan, Buffer&& buffer);
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
  static void write_single(RtpHeader& header, std::span<const std::uint8_t> nal, bool marker,
                           std::uint8_t* out) noexcept;
  // The fragment of `nal` that starts at `offset` (>= 1) and has `chunk` bytes.
  static void write_fragment(RtpHeader& header, std::span<const std::uint8_t> nal,
                             std::size_t offset, std::size_t chunk, bool last_unit,
                             std::uint8_t* out) noexcept;

  RtpHeader header_;
  std::optional<std::vector<std::uint8_t>> sps_;
  std::optional<std::vector<std::uint8_t>> pps_;
};

template <class Buffer>
bool H264Packetizer::render(FramePlan& plan, Buffer&& buffer) {
  for (std::size_t k = 0; k < plan.units.size(); ++k) {
    const auto nal = plan.units[k];
    const bool last_unit = k + 1 == plan.units.size();
    if (nal.size() <= kMaxPayloadSize) {
      std::uint8_t* out = buffer(kRtpHeaderSize + nal.size());
      if (out == nullptr) return false;
      write_single(plan.header, nal, last_unit, out);
      continue;
    }
    for (std::size_t offset = 1; offset < nal.size(); offset += kFuChunkSize) {
      const std::size_t chunk = std::min(kFuChunkSize, nal.size() - offset);
      std::uint8_t* out = buffer(kRtpHeaderSize + 2 + chunk);
      if (out == nullptr) return false;
      write_fragment(plan.header, nal, offset, chunk, last_unit, out);
    }
  }
  return true;
}

}  // namespace rtsp
