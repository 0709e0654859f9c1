#include "session/transport.hpp"

#include <cstddef>
#include <cstdint>

#include "text.hpp"

namespace rtsp {

namespace {

constexpr std::string_view kClientPort = "client_port=";

// An optional single '+', then one or more ASCII digits, at most 65535.
std::optional<std::uint16_t> parse_port(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    // Checked per digit, so long runs of digits cannot overflow.
    if (value > 65535) return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace

std::optional<TransportHeader> TransportHeader::parse(std::string_view value) {
  std::size_t start = 0;
  while (true) {
    const std::size_t semicolon = value.find(';', start);
    const std::size_t end = semicolon == std::string_view::npos ? value.size() : semicolon;
    const std::string_view piece = trim_whitespace(value.substr(start, end - start));

    if (piece.starts_with(kClientPort)) {
      const std::string_view ports = piece.substr(kClientPort.size());
      const std::size_t dash = ports.find('-');
      // Exactly two parts: one '-', and no second one.
      if (dash != std::string_view::npos && ports.find('-', dash + 1) == std::string_view::npos) {
        const auto rtp = parse_port(ports.substr(0, dash));
        const auto rtcp = parse_port(ports.substr(dash + 1));
        if (!rtp || !rtcp) return std::nullopt;
        return TransportHeader{*rtp, *rtcp};
      }
    }

    if (semicolon == std::string_view::npos) return std::nullopt;
    start = semicolon + 1;
  }
}

}  // namespace rtsp
