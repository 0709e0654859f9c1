// Packetizer: the codec-neutral interface through which mounts, the SDP
// builder and frame delivery drive a media packetizer.
//
// Implementations are single-owner and unsynchronised; the owner serialises
// every call (a mount's packetizer lock, a Python object's lock).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "media/rtp.hpp"

namespace rtsp {

class Packetizer {
 public:
  Packetizer() = default;
  Packetizer(const Packetizer&) = delete;
  Packetizer& operator=(const Packetizer&) = delete;
  virtual ~Packetizer() = default;

  // One frame into RTP packets in sending order; advances the sequence number
  // per packet and afterwards the timestamp by `timestamp_increment`.
  virtual std::vector<RtpPacket> packetize(std::span<const std::uint8_t> frame,
                                           std::uint32_t timestamp_increment) = 0;
  virtual std::string_view codec_name() const = 0;
  virtual std::uint32_t clock_rate() const = 0;
  virtual std::uint8_t payload_type() const = 0;
  // Complete "a=" lines without terminators, in output order.
  virtual std::vector<std::string> sdp_attributes() const = 0;
  // The sequence number the next packet will carry.
  virtual std::uint16_t next_sequence() const = 0;
  // Low 32 bits of the timestamp the next frame will carry.
  virtual std::uint32_t next_rtp_timestamp() const = 0;
};

}  // namespace rtsp
