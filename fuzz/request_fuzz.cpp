// Fuzz target: arbitrary text as one request head.
//
// The parser never crashes and fails only with a Parse error. A parsed
// request keeps whitespace-free request-line tokens and trimmed, single-line
// headers; every header is found again by a lookup in another letter case
// (finding the first of its name); and a response echoing its CSeq
// serializes to a head that ends with one empty line.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "protocol/header.hpp"
#include "protocol/request.hpp"
#include "protocol/response.hpp"
#include "text.hpp"

namespace {

bool is_single_token(std::string_view token) {
  return !token.empty() && rtsp::split_whitespace(token).size() == 1 &&
         rtsp::trim_whitespace(token).size() == token.size();
}

std::string swap_ascii_case(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    } else if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const auto request = rtsp::RtspRequest::parse(text);
  if (!request) {
    FUZZ_CHECK(request.error().kind() == rtsp::RtspError::Kind::Parse);
    return 0;
  }
  FUZZ_CHECK(is_single_token(request->method));
  FUZZ_CHECK(is_single_token(request->uri));
  FUZZ_CHECK(is_single_token(request->version));

  for (std::size_t i = 0; i < request->headers.size(); ++i) {
    const rtsp::Header& header = request->headers[i];
    FUZZ_CHECK(rtsp::trim_whitespace(header.name).size() == header.name.size());
    FUZZ_CHECK(rtsp::trim_whitespace(header.value).size() == header.value.size());
    FUZZ_CHECK(header.name.find('\n') == std::string::npos);
    FUZZ_CHECK(header.value.find('\n') == std::string::npos);
    FUZZ_CHECK(header.name.find(':') == std::string::npos);

    const rtsp::Header* found = rtsp::find_header(request->headers, swap_ascii_case(header.name));
    FUZZ_CHECK(found != nullptr);
    FUZZ_CHECK(found <= &header);
    FUZZ_CHECK(rtsp::equals_ignore_ascii_case(found->name, header.name));
  }

  const rtsp::Header* cseq = rtsp::find_header(request->headers, "cseq");
  rtsp::RtspResponse response(200, "OK");
  response.add_header("CSeq", cseq != nullptr ? cseq->value : "0");
  if (!request->headers.empty()) response.body = request->headers.back().value;
  const std::string wire = response.serialize();
  FUZZ_CHECK(wire.starts_with("RTSP/1.0 200 OK\r\nServer: mirovid/0.1\r\nCSeq: "));
  const std::size_t head_end = wire.find("\r\n\r\n");
  FUZZ_CHECK(head_end != std::string::npos);
  const std::size_t body_size = response.body ? response.body->size() : 0;
  FUZZ_CHECK(wire.size() == head_end + 4 + body_size);
  return 0;
}
