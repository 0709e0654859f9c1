// Fuzz target: arbitrary text as a Transport header value.
//
// Never crashes; a result comes only from a "client_port=" piece, and both
// ports written back in decimal parse to the same pair.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "session/transport.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view value(reinterpret_cast<const char*>(data), size);
  const auto parsed = rtsp::TransportHeader::parse(value);
  if (!parsed) return 0;
  FUZZ_CHECK(value.find("client_port=") != std::string_view::npos);

  const std::string canonical =
      "RTP/AVP;unicast;client_port=" + std::to_string(parsed->client_rtp_port) + "-" +
      std::to_string(parsed->client_rtcp_port);
  FUZZ_CHECK(rtsp::TransportHeader::parse(canonical) == parsed);
  return 0;
}
