// RtspResponse: one RTSP response under construction, and its wire form.
//
// A new response already carries "Server: mirovid/0.1"; add_header appends
// and never replaces. serialize() adds "Content-Length" when a body is set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "protocol/header.hpp"

namespace rtsp {

class RtspResponse {
 public:
  // The status line and the "Server" header.
  RtspResponse(std::uint16_t status_code, std::string reason_phrase);

  RtspResponse& add_header(std::string name, std::string value) &;
  RtspResponse&& add_header(std::string name, std::string value) &&;

  // Exactly as written to the connection; CR LF line endings.
  std::string serialize() const;

  std::uint16_t status_code;
  std::string reason_phrase;
  HeaderList headers;
  std::optional<std::string> body;
};

}  // namespace rtsp
