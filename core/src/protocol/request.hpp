// RtspRequest: one parsed RTSP request head (request line and headers).
//
// Built by RtspRequest::parse from the text a control connection read, read by
// the method handler. The parser never reads a body and never refuses a
// request for its version (a version other than "RTSP/1.0" is only a WARN
// event on "rtsp::protocol::request").
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"
#include "protocol/header.hpp"

namespace rtsp {

struct RtspRequest {
  std::string method;   // first token of the request line, case kept
  std::string uri;      // second token, as sent
  std::string version;  // third token, as sent
  HeaderList headers;   // in order received, duplicates kept, names and values trimmed

  // Parses the request line and the header lines up to the first empty line.
  // Fails with RtspError::parse(EmptyRequest | InvalidRequestLine | InvalidHeader).
  static std::expected<RtspRequest, RtspError> parse(std::string_view text);
};

// The length of the body that follows a request head, read from the head's
// text (whether or not it parses): the value of the first Content-Length
// header (name matched ignoring ASCII case, value trimmed) when it is a plain
// decimal number. Any other value, or no such header, means no body. Values
// too large for size_t come back as SIZE_MAX.
std::optional<std::size_t> declared_body_length(std::string_view head) noexcept;

}  // namespace rtsp
