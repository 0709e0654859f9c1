// TransportHeader: the client RTP/RTCP port pair read from the value of a
// SETUP request's Transport header. Nothing else of the header is read.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace rtsp {

struct TransportHeader {
  std::uint16_t client_rtp_port = 0;
  std::uint16_t client_rtcp_port = 0;

  // The first ';'-separated piece "client_port=A-B" (trimmed, case-sensitive
  // prefix) that splits into exactly two parts at '-' decides; nothing when
  // no piece decides or the decisive piece holds an invalid port number.
  static std::optional<TransportHeader> parse(std::string_view value);

  friend bool operator==(const TransportHeader&, const TransportHeader&) = default;
};

}  // namespace rtsp
