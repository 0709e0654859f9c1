// RtpHeader: the per-stream RTP header state (payload type, SSRC, sequence
// number, 64-bit timestamp counter) and the 12-byte header layout.
// RtpPacket: one complete RTP packet, allocated once at its final size.
//
// Not synchronised: the owner of the packetizer serialises all calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace rtsp {

inline constexpr std::size_t kRtpHeaderSize = 12;

class RtpPacket {
 public:
  RtpPacket() noexcept = default;
  // Uninitialised storage of exactly `size` bytes, to be filled in place.
  explicit RtpPacket(std::size_t size);

  std::uint8_t* data() noexcept { return data_.get(); }
  const std::uint8_t* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  std::span<const std::uint8_t> bytes() const noexcept { return {data_.get(), size_}; }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_ = 0;
};

class RtpHeader {
 public:
  // Sequence 0, timestamp 0. Emits DEBUG "RTP header state
  // created" on "rtsp::media::rtp" with `pt` and `ssrc` ("0x%08X").
  RtpHeader(std::uint8_t payload_type, std::uint32_t ssrc);
  // SSRC drawn from the per-thread cryptographically strong random source.
  static RtpHeader with_random_ssrc(std::uint8_t payload_type);

  std::uint8_t payload_type() const noexcept { return payload_type_; }
  std::uint32_t ssrc() const noexcept { return ssrc_; }
  std::uint16_t sequence() const noexcept { return sequence_; }
  std::uint64_t timestamp() const noexcept { return timestamp_; }

  // Writes the 12-byte header of the next packet to `out` (sequence number
  // taken, then advanced modulo 2^16; low 32 bits of the timestamp).
  void write_next(std::uint8_t* out, bool marker) noexcept;
  // Passes over `count` sequence numbers, as if that many packets were written.
  void skip(std::size_t count) noexcept {
    sequence_ = static_cast<std::uint16_t>(sequence_ + count);
  }
  // After a frame: adds the frame's increment to the 64-bit counter.
  void advance_timestamp(std::uint32_t increment) noexcept { timestamp_ += increment; }

 private:
  std::uint8_t payload_type_;
  std::uint32_t ssrc_;
  std::uint16_t sequence_ = 0;
  std::uint64_t timestamp_ = 0;
};

}  // namespace rtsp
