// FakePacketizer: a packetizer for tests that emits no packets. It advances
// its counters as a real one would, reports a chosen payload type and chosen
// SDP attribute lines, and can count its own destruction.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "media/packetizer.hpp"

namespace rtsp::test_support {

struct FakePacketizerSettings {
  std::uint16_t sequence = 0;
  std::uint32_t timestamp = 0;
  std::uint8_t payload_type = 96;
  std::vector<std::string> attributes;
  // Incremented when the packetizer is destroyed, if set.
  int* destroyed = nullptr;
};

class FakePacketizer final : public Packetizer {
 public:
  FakePacketizer() = default;
  explicit FakePacketizer(FakePacketizerSettings settings) : settings_(std::move(settings)) {}
  ~FakePacketizer() override {
    if (settings_.destroyed != nullptr) ++*settings_.destroyed;
  }

  std::vector<RtpPacket> packetize(std::span<const std::uint8_t>,
                                   std::uint32_t increment) override {
    ++settings_.sequence;
    settings_.timestamp += increment;
    return {};
  }
  std::string_view codec_name() const override { return "FAKE"; }
  std::uint32_t clock_rate() const override { return 90000; }
  std::uint8_t payload_type() const override { return settings_.payload_type; }
  std::vector<std::string> sdp_attributes() const override { return settings_.attributes; }
  std::uint16_t next_sequence() const override { return settings_.sequence; }
  std::uint32_t next_rtp_timestamp() const override { return settings_.timestamp; }

 private:
  FakePacketizerSettings settings_;
};

}  // namespace rtsp::test_support
