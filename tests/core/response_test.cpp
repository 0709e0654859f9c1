#include "protocol/response.hpp"

#include <gtest/gtest.h>

#include <string>

namespace rtsp {
namespace {

TEST(ResponseSerialize, WithoutBodyEndsAtTheBlankLine) {
  RtspResponse response(200, "OK");
  response.add_header("CSeq", "2");
  EXPECT_EQ(response.serialize(),
            "RTSP/1.0 200 OK\r\n"
            "Server: mirovid/0.1\r\n"
            "CSeq: 2\r\n"
            "\r\n");
}

TEST(ResponseSerialize, BodyGetsContentLengthAfterAllHeaders) {
  RtspResponse response(200, "OK");
  response.add_header("CSeq", "3").add_header("Content-Type", "application/sdp");
  response.body.emplace("v=0\r\n");
  EXPECT_EQ(response.serialize(),
            "RTSP/1.0 200 OK\r\n"
            "Server: mirovid/0.1\r\n"
            "CSeq: 3\r\n"
            "Content-Type: application/sdp\r\n"
            "Content-Length: 5\r\n"
            "\r\n"
            "v=0\r\n");
  // Content-Length is generated, never stored.
  EXPECT_EQ(response.headers.size(), 3u);
}

TEST(ResponseSerialize, BodyLengthCases) {
  struct Case {
    const char* name;
    std::string body;
    std::string length_line;
  };
  const Case cases[] = {
      {"empty body", "", "Content-Length: 0\r\n"},
      {"two-byte characters", "caf\u00e9", "Content-Length: 5\r\n"},
      {"three- and four-byte characters", "\u3000\U0001F600", "Content-Length: 7\r\n"},
      {"ten thousand bytes", std::string(10000, 'x'), "Content-Length: 10000\r\n"},
      {"embedded NUL", std::string("a\0b", 3), "Content-Length: 3\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RtspResponse response(200, "OK");
    response.body = c.body;
    const std::string expected =
        "RTSP/1.0 200 OK\r\nServer: mirovid/0.1\r\n" + c.length_line + "\r\n" + c.body;
    EXPECT_EQ(response.serialize(), expected);
  }
}

TEST(ResponseSerialize, HeadersInInsertionOrderWithDuplicates) {
  auto response = RtspResponse(461, "Unsupported Transport")
                      .add_header("CSeq", "5")
                      .add_header("X-Hint", "use UDP")
                      .add_header("CSeq", "6")
                      .add_header("Server", "other");
  const HeaderList expected = {{"Server", "mirovid/0.1"},
                               {"CSeq", "5"},
                               {"X-Hint", "use UDP"},
                               {"CSeq", "6"},
                               {"Server", "other"}};
  EXPECT_EQ(response.headers, expected);
  EXPECT_EQ(response.serialize(),
            "RTSP/1.0 461 Unsupported Transport\r\n"
            "Server: mirovid/0.1\r\n"
            "CSeq: 5\r\n"
            "X-Hint: use UDP\r\n"
            "CSeq: 6\r\n"
            "Server: other\r\n"
            "\r\n");
}

TEST(ResponseSerialize, StatusCodeAndReasonWrittenAsGiven) {
  struct Case {
    std::uint16_t code;
    const char* reason;
    const char* status_line;
  };
  const Case cases[] = {
      {0, "", "RTSP/1.0 0 \r\n"},
      {7, "Odd", "RTSP/1.0 7 Odd\r\n"},
      {65535, "Max", "RTSP/1.0 65535 Max\r\n"},
  };
  for (const auto& c : cases) {
    const std::string text = RtspResponse(c.code, c.reason).serialize();
    EXPECT_EQ(text, std::string(c.status_line) + "Server: mirovid/0.1\r\n\r\n");
  }
}

}  // namespace
}  // namespace rtsp
