// libFuzzer target for the two readers of client text: the request parser and
// the Transport header reader. Neither may crash, and a parsed request's
// request-line tokens never hold white space.
//
// Build with clang, from the repository root:
//   clang++ -std=c++2b -fsanitize=fuzzer,address -Icore/src fuzz/request_fuzz.cpp
//     core/src/protocol/request.cpp core/src/text.cpp core/src/session/transport.cpp
//     core/src/error.cpp core/src/log.cpp

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocol/header.hpp"
#include "protocol/request.hpp"
#include "session/transport.hpp"
#include "text.hpp"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

bool has_whitespace(std::string_view token) {
  return token.empty() || rtsp::split_whitespace(token).size() != 1 ||
         rtsp::trim_whitespace(token).size() != token.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (const auto request = rtsp::RtspRequest::parse(text)) {
    require(!has_whitespace(request->method));
    require(!has_whitespace(request->uri));
    require(!has_whitespace(request->version));
    for (const rtsp::Header& header : request->headers) {
      require(rtsp::trim_whitespace(header.name).size() == header.name.size());
      require(rtsp::trim_whitespace(header.value).size() == header.value.size());
      require(header.name.find('\n') == std::string_view::npos);
      require(header.value.find('\n') == std::string_view::npos);
    }
    if (const rtsp::Header* transport = rtsp::find_header(request->headers, "Transport")) {
      (void)rtsp::TransportHeader::parse(transport->value);
    }
  } else {
    require(request.error().kind() == rtsp::RtspError::Kind::Parse);
  }

  // The raw bytes as a header value too, so the Transport reader sees
  // separators and signs the request parser would have trimmed away.
  (void)rtsp::TransportHeader::parse(text);
  return 0;
}
