#include "protocol/response.hpp"

#include <charconv>
#include <cstddef>
#include <string_view>
#include <utility>

namespace rtsp {

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kContentLength = "Content-Length: ";

// Room for the decimal digits of any std::size_t.
constexpr std::size_t kMaxDigits = 20;

void append_decimal(std::string& out, std::size_t value) {
  char digits[kMaxDigits];
  const auto result = std::to_chars(digits, digits + kMaxDigits, value);
  out.append(digits, result.ptr);
}

}  // namespace

RtspResponse::RtspResponse(std::uint16_t status_code, std::string reason_phrase)
    : status_code(status_code), reason_phrase(std::move(reason_phrase)) {
  headers.push_back(Header{"Server", "mirovid/0.1"});
}

RtspResponse& RtspResponse::add_header(std::string name, std::string value) & {
  headers.push_back(Header{std::move(name), std::move(value)});
  return *this;
}

RtspResponse&& RtspResponse::add_header(std::string name, std::string value) && {
  headers.push_back(Header{std::move(name), std::move(value)});
  return std::move(*this);
}

std::string RtspResponse::serialize() const {
  // "RTSP/1.0 " + code + " " + reason + CRLF
  std::size_t size = 9 + 5 + 1 + reason_phrase.size() + 2;
  for (const Header& header : headers) size += header.name.size() + 2 + header.value.size() + 2;
  if (body) size += kContentLength.size() + kMaxDigits + 2 + body->size();
  size += 2;

  std::string out;
  out.reserve(size);
  out.append("RTSP/1.0 ");
  append_decimal(out, status_code);
  out.push_back(' ');
  out.append(reason_phrase);
  out.append(kCrLf);
  for (const Header& header : headers) {
    out.append(header.name);
    out.append(": ");
    out.append(header.value);
    out.append(kCrLf);
  }
  if (body) {
    out.append(kContentLength);
    append_decimal(out, body->size());
    out.append(kCrLf);
  }
  out.append(kCrLf);
  if (body) out.append(*body);
  return out;
}

}  // namespace rtsp
