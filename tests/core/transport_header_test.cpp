#include "session/transport.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

namespace rtsp {
namespace {

struct Case {
  std::string_view value;
  std::optional<TransportHeader> expected;
};

constexpr std::optional<TransportHeader> ports(std::uint16_t rtp, std::uint16_t rtcp) {
  return TransportHeader{rtp, rtcp};
}
constexpr std::optional<TransportHeader> kAbsent = std::nullopt;

void check(const Case& c) {
  EXPECT_EQ(TransportHeader::parse(c.value), c.expected) << '"' << c.value << '"';
}

TEST(TransportHeaderParse, ClientPortPairs) {
  const Case cases[] = {
      {"RTP/AVP;unicast;client_port=5000-5001", ports(5000, 5001)},
      {"RTP/AVP/UDP;unicast;client_port=50000-50001", ports(50000, 50001)},
      {"RTP/AVP;unicast;client_port=5000", kAbsent},
      {"client_port=5000;client_port=6000-6001", ports(6000, 6001)},
      {"client_port=abc-6001;client_port=7000-7001", kAbsent},
      {"client_port=5000-70000", kAbsent},
      {"client_port=5000-", kAbsent},
      {"client_port=-5001", kAbsent},
      {"client_port=-", kAbsent},
      {"client_port=", kAbsent},
      {"client_port=+5000-+5001", ports(5000, 5001)},
      {"client_port=++5000-5001", kAbsent},
      {"client_port=+-5001", kAbsent},
      {"Client_Port=5000-5001", kAbsent},
      {"RTP/AVP;client_port=5000-5001,RTP/AVP;client_port=6000-6001", kAbsent},
      {"RTP/AVP;multicast;client_port=5000-5001", ports(5000, 5001)},
      {"client_port=0-0", ports(0, 0)},
      {"client_port=5001-5000", ports(5001, 5000)},
      {"client_port=65535-65535", ports(65535, 65535)},
      {"client_port=65536-1", kAbsent},
      {"client_port=05000-0005001", ports(5000, 5001)},
      {"client_port=99999999999999999999-1", kAbsent},
      {"client_port=1-2-3;client_port=4-5", ports(4, 5)},
      {"client_port=0x10-5", kAbsent},
      {"client_port=5000-5001;client_port=6000-6001", ports(5000, 5001)},
      {"", kAbsent},
      {";;;", kAbsent},
      {"RTP/AVP;unicast", kAbsent},
      {"RTP/AVP;server_port=5000-5001", kAbsent},
      {"RTP/AVP;xclient_port=5000-5001", kAbsent},
      {"RTP/AVP;unicast;client_port=5000-5001;mode=play;ttl=5", ports(5000, 5001)},
      {";client_port=1-2;", ports(1, 2)},
  };
  for (const auto& c : cases) check(c);
}

TEST(TransportHeaderParse, WhiteSpaceAroundPiecesIsTrimmedButNotInsidePorts) {
  const Case cases[] = {
      {"RTP/AVP;unicast; client_port=5000-5001 ", ports(5000, 5001)},
      {"RTP/AVP;unicast;\tclient_port=5000-5001\t", ports(5000, 5001)},
      {"RTP/AVP;\u00a0\u3000client_port=5000-5001\u2003", ports(5000, 5001)},
      {"RTP/AVP;unicast;client_port=5000-5001\r\n", ports(5000, 5001)},
      {"client_port= 5000-5001", kAbsent},
      {"client_port=5000 -5001", kAbsent},
      {"client_port=5000- 5001", kAbsent},
      {"client_port =5000-5001", kAbsent},
      {"client_port=5000-5001\u200b", kAbsent},  // zero-width space is not white space
      {"client_port=\uff15000-5001", kAbsent},   // full-width digit
  };
  for (const auto& c : cases) check(c);
}

}  // namespace
}  // namespace rtsp
