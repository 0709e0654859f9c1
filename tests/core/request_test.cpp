#include "protocol/request.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture_sink.hpp"
#include "protocol/header.hpp"
#include "text.hpp"

namespace rtsp {
namespace {

using test_support::ScopedCapture;

constexpr std::string_view kWarnTarget = "rtsp::protocol::request";
constexpr std::string_view kWarnMessage = "client sent non-RTSP/1.0 version";

HeaderList headers_of(std::string_view text) {
  auto request = RtspRequest::parse(text);
  EXPECT_TRUE(request.has_value()) << text;
  return request ? request->headers : HeaderList{};
}

// --- Failures -------------------------------------------------------------

struct FailureCase {
  std::string_view name;
  std::string_view text;
  ParseErrorKind kind;
  std::string_view message;
};

TEST(RequestParse, RejectsMalformedRequests) {
  const FailureCase cases[] = {
      {"empty text", "", ParseErrorKind::EmptyRequest, "RTSP parse error: empty request"},
      {"lone LF is one empty line", "\n", ParseErrorKind::InvalidRequestLine,
       "RTSP parse error: invalid request line"},
      {"lone CRLF", "\r\n", ParseErrorKind::InvalidRequestLine,
       "RTSP parse error: invalid request line"},
      {"blank first line before a request", "\r\nOPTIONS * RTSP/1.0\r\n\r\n",
       ParseErrorKind::InvalidRequestLine, "RTSP parse error: invalid request line"},
      {"white space only", " \t \r\n\r\n", ParseErrorKind::InvalidRequestLine,
       "RTSP parse error: invalid request line"},
      {"two tokens", "OPTIONS *\r\n\r\n", ParseErrorKind::InvalidRequestLine,
       "RTSP parse error: invalid request line"},
      {"four tokens", "OPTIONS * RTSP/1.0 extra\r\n\r\n", ParseErrorKind::InvalidRequestLine,
       "RTSP parse error: invalid request line"},
      {"header without colon", "OPTIONS * RTSP/1.0\r\nCSeq 1\r\n\r\n",
       ParseErrorKind::InvalidHeader, "RTSP parse error: invalid header"},
      {"bad header after good ones", "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nbroken\r\n\r\n",
       ParseErrorKind::InvalidHeader, "RTSP parse error: invalid header"},
      {"white-space-only header line", "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n \t \r\n\r\n",
       ParseErrorKind::InvalidHeader, "RTSP parse error: invalid header"},
      {"header line of a bare CR", "OPTIONS * RTSP/1.0\r\n\r\r\n\r\n",
       ParseErrorKind::InvalidHeader, "RTSP parse error: invalid header"},
      {"unterminated bad header", "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nbroken",
       ParseErrorKind::InvalidHeader, "RTSP parse error: invalid header"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = RtspRequest::parse(c.text);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), RtspError::parse(c.kind));
    EXPECT_EQ(result.error().message(), c.message);
  }
}

// --- Request line -----------------------------------------------------------

struct RequestLineCase {
  std::string_view name;
  std::string_view text;
  std::string_view method;
  std::string_view uri;
  std::string_view version;
};

TEST(RequestParse, SplitsRequestLineAtRunsOfWhiteSpace) {
  const RequestLineCase cases[] = {
      {"plain", "OPTIONS * RTSP/1.0\r\n\r\n", "OPTIONS", "*", "RTSP/1.0"},
      {"no line ending at all", "DESCRIBE rtsp://h/stream RTSP/1.0", "DESCRIBE", "rtsp://h/stream",
       "RTSP/1.0"},
      {"bare LF", "PLAY /s RTSP/1.0\n\n", "PLAY", "/s", "RTSP/1.0"},
      {"runs of spaces", "SETUP    /s/track1     RTSP/1.0\r\n\r\n", "SETUP", "/s/track1",
       "RTSP/1.0"},
      {"tabs", "PAUSE\t/s\t\tRTSP/1.0\r\n\r\n", "PAUSE", "/s", "RTSP/1.0"},
      {"leading and trailing white space", "  \tTEARDOWN /s RTSP/1.0 \t \r\n\r\n", "TEARDOWN", "/s",
       "RTSP/1.0"},
      {"method case kept", "options * RTSP/1.0\r\n\r\n", "options", "*", "RTSP/1.0"},
      {"ideographic space U+3000", "OPTIONS\u3000*\u3000RTSP/1.0\r\n\r\n", "OPTIONS", "*",
       "RTSP/1.0"},
      {"no-break space U+00A0", "OPTIONS\u00a0*\u00a0\u00a0RTSP/1.0\r\n\r\n", "OPTIONS", "*",
       "RTSP/1.0"},
      {"vertical tab and form feed", "OPTIONS\v*\fRTSP/1.0\r\n\r\n", "OPTIONS", "*", "RTSP/1.0"},
      {"bare CR separates like other white space", "OPTIONS\r*\rRTSP/1.0\r\n\r\n", "OPTIONS", "*",
       "RTSP/1.0"},
      // Only one CR before the LF belongs to the line ending; the other is
      // trailing white space of the request line.
      {"CR CR LF", "OPTIONS * RTSP/1.0\r\r\n\r\n", "OPTIONS", "*", "RTSP/1.0"},
      // Characters outside the white-space set stay inside tokens.
      {"zero-width space is not white space", "GET\u200b * RTSP/1.0\r\n", "GET\u200b", "*",
       "RTSP/1.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto request = RtspRequest::parse(c.text);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->method, c.method);
    EXPECT_EQ(request->uri, c.uri);
    EXPECT_EQ(request->version, c.version);
  }
}

TEST(RequestParse, RequestLineAloneHasNoHeaders) {
  for (std::string_view text : {"OPTIONS * RTSP/1.0", "OPTIONS * RTSP/1.0\r\n",
                                "OPTIONS * RTSP/1.0\r\n\r\n", "OPTIONS * RTSP/1.0\n"}) {
    const auto request = RtspRequest::parse(text);
    ASSERT_TRUE(request.has_value()) << text;
    EXPECT_TRUE(request->headers.empty()) << text;
  }
}

TEST(RequestParse, OtherVersionsAreKeptWithAWarning) {
  for (std::string_view version : {"RTSP/2.0", "rtsp/1.0", "HTTP/1.1", "RTSP/1.00"}) {
    SCOPED_TRACE(version);
    ScopedCapture capture;
    const std::string text = "OPTIONS * " + std::string(version) + "\r\nCSeq: 4\r\n\r\n";
    const auto request = RtspRequest::parse(text);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->version, version);
    ASSERT_EQ(request->headers.size(), 1u);

    const auto events = capture->find(kWarnMessage, kWarnTarget);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].level, log::Level::Warn);
    EXPECT_EQ(events[0].field("version"), std::string(version));
  }
}

// --- Header lines -----------------------------------------------------------

struct HeaderCase {
  std::string_view name;
  std::string_view text;
  HeaderList expected;
};

TEST(RequestParse, ReadsHeaderLines) {
  const HeaderCase cases[] = {
      {"no space after colon", "OPTIONS * RTSP/1.0\r\nCSeq:1\r\n\r\n", {{"CSeq", "1"}}},
      {"white space around name and value",
       "OPTIONS * RTSP/1.0\r\n \tCSeq \t:  7 \t\r\n\r\n",
       {{"CSeq", "7"}}},
      {"inner spaces of a value stay",
       "PLAY / RTSP/1.0\r\nSession:  ABC ; timeout=60 \r\n\r\n",
       {{"Session", "ABC ; timeout=60"}}},
      {"further colons stay in the value",
       "PLAY / RTSP/1.0\r\nContent-Base: rtsp://192.0.2.1:8554/stream/\r\n\r\n",
       {{"Content-Base", "rtsp://192.0.2.1:8554/stream/"}}},
      {"empty name and empty value",
       "OPTIONS * RTSP/1.0\r\n:\r\nX:\r\n\r\n",
       {{"", ""}, {"X", ""}}},
      {"names keep their case",
       "OPTIONS * RTSP/1.0\r\ncseq: 1\r\nUSER-agent: x\r\n\r\n",
       {{"cseq", "1"}, {"USER-agent", "x"}}},
      {"LF and CRLF mixed",
       "OPTIONS * RTSP/1.0\nCSeq: 1\r\nUser-Agent: a\nAccept: b\r\n\n",
       {{"CSeq", "1"}, {"User-Agent", "a"}, {"Accept", "b"}}},
      {"continuation-looking lines are headers of their own",
       "OPTIONS * RTSP/1.0\r\nX-A: one\r\n  X-B: two\r\n\tX-C: three\r\n\r\n",
       {{"X-A", "one"}, {"X-B", "two"}, {"X-C", "three"}}},
      {"everything after the blank line is ignored",
       "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\nno colon here\r\nCSeq: 2\r\n",
       {{"CSeq", "1"}}},
      {"blank line ended by bare LF ends the headers",
       "OPTIONS * RTSP/1.0\r\nCSeq: 1\n\nbody without colon",
       {{"CSeq", "1"}}},
      {"final line without line ending", "OPTIONS * RTSP/1.0\r\nCSeq: 9", {{"CSeq", "9"}}},
      {"Unicode white space trimmed",
       "OPTIONS * RTSP/1.0\r\n\u3000CSeq\u00a0: \u2003 5\u00a0\u2029\r\n\r\n",
       {{"CSeq", "5"}}},
      {"bare CR inside a line is kept",
       "OPTIONS * RTSP/1.0\r\nX-Note: a\rb\r\n\r\n",
       {{"X-Note", "a\rb"}}},
      {"non-white-space Unicode stays",
       "OPTIONS * RTSP/1.0\r\nX\u00e9: caf\u00e9\u200b\r\n\r\n",
       {{"X\u00e9", "caf\u00e9\u200b"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(headers_of(c.text), c.expected);
  }
}

TEST(RequestParse, DuplicateHeadersStayInOrderAndLookupFindsTheFirst) {
  const auto request =
      RtspRequest::parse("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nUser-Agent: a\r\nCSEQ: 2\r\n\r\n");
  ASSERT_TRUE(request.has_value());
  const HeaderList expected = {{"CSeq", "1"}, {"User-Agent", "a"}, {"CSEQ", "2"}};
  EXPECT_EQ(request->headers, expected);

  const Header* found = find_header(request->headers, "cseq");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found, &request->headers[0]);
  EXPECT_EQ(found->value, "1");
}

// --- Declared body length ------------------------------------------------------

TEST(DeclaredBodyLength, FirstContentLengthWhenPlainDecimal) {
  struct Case {
    std::string_view head;
    std::optional<std::size_t> length;
  };
  const Case cases[] = {
      {"OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n", std::nullopt},
      {"SET_PARAMETER * RTSP/1.0\r\nCONTENT-LENGTH:  18 \r\n\r\n", 18},
      {"SET_PARAMETER * RTSP/1.0\r\nContent-Length: 0\r\n\r\n", 0},
      {"X * RTSP/1.0\r\nContent-Length: 4\r\nContent-Length: 9\r\n\r\n", 4},
      {"X * RTSP/1.0\r\nContent-Length: +4\r\nContent-Length: 9\r\n\r\n", std::nullopt},
      {"X * RTSP/1.0\r\nContent-Length: -1\r\n\r\n", std::nullopt},
      {"X * RTSP/1.0\r\nContent-Length: 1e3\r\n\r\n", std::nullopt},
      {"X * RTSP/1.0\r\nContent-Length:\r\n\r\n", std::nullopt},
      {"X * RTSP/1.0\r\nContent-Length: 99999999999999999999999\r\n\r\n", SIZE_MAX},
      // The request line is never a header, nor is anything after the empty line.
      {"Content-Length: 5\r\n\r\n", std::nullopt},
      {"X * RTSP/1.0\r\n\r\nContent-Length: 5\r\n", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    EXPECT_EQ(declared_body_length(c.head), c.length);
  }
}

// --- Header lookup and case folding -------------------------------------------

TEST(FindHeader, FoldsOnlyAsciiLetters) {
  const HeaderList headers = {{"CSeq", "1"}, {"X-@", "at"}, {"\u00c4", "umlaut"}};
  struct Case {
    std::string_view wanted;
    const char* value;  // nullptr: not found
  };
  const Case cases[] =
      {
          {"CSeq", "1"},        {"cseq", "1"},      {"CSEQ", "1"},
          {"CSe", nullptr},     {"CSeq ", nullptr}, {"", nullptr},
          {"x-@", "at"},        {"X-`", nullptr},  // '@' | 0x20 == '`': not a letter, not folded
          {"\u00e4", nullptr},                     // non-ASCII is compared exactly
          {"\u00c4", "umlaut"},
      };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.wanted);
    const Header* found = find_header(headers, c.wanted);
    if (c.value == nullptr) {
      EXPECT_EQ(found, nullptr);
    } else {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->value, c.value);
    }
  }
  EXPECT_EQ(find_header(HeaderList{}, "CSeq"), nullptr);
}

// --- White space and UTF-8 helpers ------------------------------------------

TEST(TrimWhitespace, RemovesEveryWhiteSpaceCharacterAtBothEnds) {
  // Every member of the White_Space set, encoded in UTF-8.
  const std::string_view spaces[] = {
      "\t",     "\n",     "\v",     "\f",     "\r",     " ",      "\u0085", "\u00a0", "\u1680",
      "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
      "\u2009", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"};
  for (std::string_view space : spaces) {
    const std::string text = std::string(space) + "x" + std::string(space) + "y" +
                             std::string(space) + std::string(space);
    EXPECT_EQ(trim_whitespace(text), std::string("x") + std::string(space) + "y")
        << "U+" << std::hex << static_cast<int>(static_cast<unsigned char>(space[0]));
    EXPECT_TRUE(is_all_whitespace(space));
    const auto tokens = split_whitespace(text);
    ASSERT_EQ(tokens.size(), 2u);
    EXPECT_EQ(tokens[0], "x");
    EXPECT_EQ(tokens[1], "y");
  }
}

TEST(TrimWhitespace, KeepsNearMissesAndBrokenEncodings) {
  struct Case {
    std::string_view name, text, trimmed;
  };
  const Case cases[] = {
      {"empty", "", ""},
      {"zero-width space U+200B", "\u200bx\u200b", "\u200bx\u200b"},
      {"U+001F unit separator",
       "\x1f"
       "x\x1f",
       "\x1f"
       "x\x1f"},
      {"U+FEFF byte order mark", "\ufeffx", "\ufeffx"},
      {"lone lead byte C2", "\xC2x\xC2", "\xC2x\xC2"},
      {"truncated U+3000", "x\xE3\x80", "x\xE3\x80"},
      // C2 A0 is a no-break space, but the continuation byte after it makes
      // the last three bytes no single character: nothing may be trimmed.
      {"space followed by stray continuation", "x\xC2\xA0\x80", "x\xC2\xA0\x80"},
      {"lead byte before a trailing no-break space", "x\xE2\xC2\xA0", "x\xE2"},
      {"overlong space C0 A0", "\xC0\xA0x\xC0\xA0", "\xC0\xA0x\xC0\xA0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(trim_whitespace(c.text), c.trimmed) << c.name;
  }
  EXPECT_TRUE(is_all_whitespace(""));
  EXPECT_FALSE(is_all_whitespace(" \xC2"));
}

TEST(SplitWhitespace, TokensWithoutEmptyPieces) {
  struct Case {
    std::string_view text;
    std::vector<std::string_view> tokens;
  };
  const Case cases[] = {
      {"", {}},
      {" \t ", {}},
      {"a", {"a"}},
      {" a  b\t\tc ", {"a", "b", "c"}},
      {"a\u00a0\u3000b", {"a", "b"}},
      {"\xE2\x80x\xE2\x80\x80y", {"\xE2\x80x", "y"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(split_whitespace(c.text), c.tokens) << c.text;
  }
}

TEST(IsValidUtf8, StrictDecoding) {
  struct Case {
    std::string_view name, text;
    bool valid;
  };
  const Case cases[] = {
      {"empty", "", true},
      {"two-byte", "caf\u00e9", true},
      {"three-byte", "\u3000\u20ac", true},
      {"four-byte", "\U0001F600", true},
      {"largest code point", "\U0010FFFF", true},
      {"smallest three-byte", "\u0800", true},
      {"smallest four-byte", "\U00010000", true},
      {"NUL byte", std::string_view("a\0b", 3), true},
      {"overlong C0 80", "\xC0\x80", false},
      {"overlong three-byte", "\xE0\x9F\xBF", false},
      {"overlong four-byte", "\xF0\x8F\xBF\xBF", false},
      {"high surrogate", "\xED\xA0\x80", false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false},
      {"lead F5", "\xF5\x80\x80\x80", false},
      {"stray continuation", "\x80", false},
      {"truncated two-byte", "\xC3", false},
      {"truncated three-byte", "\xE3\x80", false},
      {"truncated four-byte", "\xF0\x9F\x98", false},
      {"bad second continuation", "\xE3\x80\x41", false},
      // Around the eight-byte fast path.
      {"invalid right after eight ASCII bytes", "abcdefgh\xFF", false},
      {"invalid after a long ASCII run", "0123456789abcdef0123456789\x80xyz", false},
      {"multi-byte straddling a word", "abcdefg\u00e9abcdefgh", true},
      {"truncated at the very end after ASCII", "abcdefghijklmnop\xE2\x82", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_valid_utf8(c.text), c.valid) << c.name;
  }
}

}  // namespace
}  // namespace rtsp
