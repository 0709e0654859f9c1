#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "error.hpp"

namespace rtsp {
namespace {

TEST(RtspError, EveryKindHasItsFixedMessage) {
  struct Case {
    RtspError error;
    RtspError::Kind kind;
    std::string message;
  };
  const Case cases[] = {
      {RtspError::invalid_bind_address("nowhere:99999"), RtspError::Kind::InvalidBindAddress,
       "invalid bind address: nowhere:99999"},
      {RtspError::session_not_found("0000000000000003"), RtspError::Kind::SessionNotFound,
       "session not found: 0000000000000003"},
      {RtspError::transport_not_configured("000000000000000A"),
       RtspError::Kind::TransportNotConfigured,
       "transport not configured for session: 000000000000000A"},
      {RtspError::session_not_playing("0000000000000001"), RtspError::Kind::SessionNotPlaying,
       "session not in playing state: 0000000000000001"},
      {RtspError::server_not_started(), RtspError::Kind::ServerNotStarted, "server not started"},
      {RtspError::server_already_running(), RtspError::Kind::ServerAlreadyRunning,
       "server already running"},
      {RtspError::parse(ParseErrorKind::EmptyRequest), RtspError::Kind::Parse,
       "RTSP parse error: empty request"},
      {RtspError::parse(ParseErrorKind::InvalidRequestLine), RtspError::Kind::Parse,
       "RTSP parse error: invalid request line"},
      {RtspError::parse(ParseErrorKind::InvalidHeader), RtspError::Kind::Parse,
       "RTSP parse error: invalid header"},
      {RtspError::mount_not_found("/missing"), RtspError::Kind::MountNotFound,
       "mount not found: /missing"},
      {RtspError::session_not_found(""), RtspError::Kind::SessionNotFound, "session not found: "},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind) << c.message;
    EXPECT_EQ(c.error.message(), c.message);
  }
}

TEST(RtspError, IoMessageCarriesSystemTextAndNumber) {
  const std::pair<int, std::string> cases[] = {
      {EADDRINUSE, "I/O error: Address already in use (os error 98)"},
      {ENOENT, "I/O error: No such file or directory (os error 2)"},
      {ECONNREFUSED, "I/O error: Connection refused (os error 111)"},
      {EPIPE, "I/O error: Broken pipe (os error 32)"},
      {9999, "I/O error: Unknown error 9999 (os error 9999)"},
  };
  for (const auto& [code, message] : cases) {
    const RtspError error = RtspError::io(code);
    EXPECT_EQ(error.kind(), RtspError::Kind::Io);
    EXPECT_EQ(error.os_error(), code);
    EXPECT_EQ(error.message(), message);
  }
}

TEST(RtspError, PayloadsAndEquality) {
  const RtspError a = RtspError::session_not_found("0000000000000001");
  EXPECT_EQ(a.text(), "0000000000000001");
  EXPECT_EQ(a, RtspError::session_not_found("0000000000000001"));
  EXPECT_NE(a, RtspError::session_not_found("0000000000000002"));
  EXPECT_NE(a, RtspError::session_not_playing("0000000000000001"));
  EXPECT_NE(RtspError::io(98), RtspError::io(111));
  EXPECT_EQ(RtspError::parse(ParseErrorKind::InvalidHeader).parse_kind(),
            ParseErrorKind::InvalidHeader);
  EXPECT_NE(RtspError::parse(ParseErrorKind::InvalidHeader),
            RtspError::parse(ParseErrorKind::EmptyRequest));
  EXPECT_TRUE(RtspError::server_not_started().text().empty());
}

}  // namespace
}  // namespace rtsp
