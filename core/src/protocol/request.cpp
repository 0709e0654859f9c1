#include "protocol/request.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

#include "log.hpp"
#include "protocol/header.hpp"
#include "text.hpp"

namespace rtsp {

namespace {

// Yields the lines of a request: cut at each LF, the LF and one CR directly
// before it removed; a non-empty piece after the last LF is a line too.
class LineReader {
 public:
  explicit LineReader(std::string_view text) noexcept : rest_(text) {}

  bool next(std::string_view& line) noexcept {
    if (rest_.empty()) return false;
    const std::size_t lf = rest_.find('\n');
    if (lf == std::string_view::npos) {
      line = rest_;
      rest_ = {};
      return true;
    }
    line = rest_.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    rest_.remove_prefix(lf + 1);
    return true;
  }

 private:
  std::string_view rest_;
};

}  // namespace

const Header* find_header(const HeaderList& headers, std::string_view name) noexcept {
  for (const Header& header : headers) {
    if (equals_ignore_ascii_case(header.name, name)) return &header;
  }
  return nullptr;
}

std::optional<std::size_t> declared_body_length(std::string_view head) noexcept {
  LineReader lines(head);
  std::string_view line;
  if (!lines.next(line)) return std::nullopt;  // the request line
  while (lines.next(line) && !line.empty()) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    if (!equals_ignore_ascii_case(trim_whitespace(line.substr(0, colon)), "Content-Length")) {
      continue;
    }
    const std::string_view value = trim_whitespace(line.substr(colon + 1));
    if (value.empty()) return std::nullopt;
    std::size_t length = 0;
    for (const char c : value) {
      if (c < '0' || c > '9') return std::nullopt;
      const std::size_t digit = static_cast<std::size_t>(c - '0');
      length = length > (SIZE_MAX - digit) / 10 ? SIZE_MAX : length * 10 + digit;
    }
    return length;
  }
  return std::nullopt;
}

std::expected<RtspRequest, RtspError> RtspRequest::parse(std::string_view text) {
  LineReader lines(text);
  std::string_view line;
  if (!lines.next(line)) return std::unexpected(RtspError::parse(ParseErrorKind::EmptyRequest));

  const std::vector<std::string_view> tokens = split_whitespace(line);
  if (tokens.size() != 3) {
    return std::unexpected(RtspError::parse(ParseErrorKind::InvalidRequestLine));
  }

  RtspRequest request;
  request.method.assign(tokens[0]);
  request.uri.assign(tokens[1]);
  request.version.assign(tokens[2]);
  if (request.version != "RTSP/1.0") {
    RTSP_EVENT(log::Level::Warn, "rtsp::protocol::request", "client sent non-RTSP/1.0 version",
               {"version", request.version});
  }

  while (lines.next(line) && !line.empty()) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      return std::unexpected(RtspError::parse(ParseErrorKind::InvalidHeader));
    }
    request.headers.push_back(Header{std::string(trim_whitespace(line.substr(0, colon))),
                                     std::string(trim_whitespace(line.substr(colon + 1)))});
  }
  return request;
}

}  // namespace rtsp
