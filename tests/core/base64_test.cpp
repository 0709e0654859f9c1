#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "media/base64.hpp"

namespace rtsp {
namespace {

std::string encode(std::string_view text) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  return base64_encode({p, text.size()});
}

TEST(Base64, MatchesTheStandardTestVectors) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(encode(input), expected) << input;
}

TEST(Base64, UsesPlusAndSlashAndEncodesEveryByteValue) {
  const std::vector<std::pair<std::vector<std::uint8_t>, std::string>> cases = {
      {{0xFB, 0xFF}, "+/8="},
      {{0xFF, 0xFF, 0xFF}, "////"},
      {{0x00, 0x00, 0x00}, "AAAA"},
      {{0x00}, "AA=="},
      {{0x67, 0x42, 0xC0, 0x1F, 0xAA}, "Z0LAH6o="},
      {{0x68, 0xCE, 0x3C, 0x80}, "aM48gA=="},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(base64_encode(input), expected);

  std::vector<std::uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  const std::string text = base64_encode(all);
  EXPECT_EQ(text.size(), 344u);
  EXPECT_EQ(text.substr(0, 8), "AAECAwQF");
  EXPECT_EQ(text.substr(text.size() - 8), "/P3+/w==");
}

}  // namespace
}  // namespace rtsp
