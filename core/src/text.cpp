#include "text.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace rtsp {

namespace {

constexpr std::array<bool, 128> make_ascii_space_table() {
  std::array<bool, 128> table{};
  for (unsigned char c : {'\t', '\n', '\v', '\f', '\r', ' '}) table[c] = true;
  return table;
}

constexpr std::array<bool, 128> kAsciiSpace = make_ascii_space_table();

inline unsigned char byte_at(std::string_view text, std::size_t i) noexcept {
  return static_cast<unsigned char>(text[i]);
}

// Length in bytes of the white-space character that starts at `i`, or 0.
// Only complete, well-formed encodings of White_Space code points match.
inline std::size_t space_length_at(std::string_view text, std::size_t i) noexcept {
  const unsigned char b0 = byte_at(text, i);
  if (b0 < 0x80) return kAsciiSpace[b0] ? 1 : 0;
  const std::size_t left = text.size() - i;
  if (b0 == 0xC2) {
    // U+0085, U+00A0
    if (left >= 2) {
      const unsigned char b1 = byte_at(text, i + 1);
      if (b1 == 0x85 || b1 == 0xA0) return 2;
    }
    return 0;
  }
  if (left < 3) return 0;
  const unsigned char b1 = byte_at(text, i + 1);
  const unsigned char b2 = byte_at(text, i + 2);
  switch (b0) {
    case 0xE1:  // U+1680
      return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;
    case 0xE2:
      if (b1 == 0x80) {
        // U+2000..U+200A, U+2028, U+2029, U+202F
        return (b2 <= 0x8A && b2 >= 0x80) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
      }
      return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;  // U+205F
    case 0xE3:                                    // U+3000
      return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
    default:
      return 0;
  }
}

// Length in bytes of the white-space character that ends just before `end`,
// or 0. A lead byte is never a continuation byte, so matching the suffix is
// unambiguous.
inline std::size_t space_length_before(std::string_view text, std::size_t end) noexcept {
  const unsigned char last = byte_at(text, end - 1);
  if (last < 0x80) return kAsciiSpace[last] ? 1 : 0;
  if (end >= 2 && byte_at(text, end - 2) == 0xC2) return space_length_at(text, end - 2);
  if (end >= 3 && space_length_at(text, end - 3) == 3) return 3;
  return 0;
}

}  // namespace

std::string_view trim_whitespace(std::string_view text) noexcept {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t n = space_length_at(text, begin);
    if (n == 0) break;
    begin += n;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t n = space_length_before(text, end);
    if (n == 0 || end - n < begin) break;
    end -= n;
  }
  return text.substr(begin, end - begin);
}

std::vector<std::string_view> split_whitespace(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t i = 0;
  const std::size_t size = text.size();
  while (i < size) {
    // Skip a run of white space.
    std::size_t n;
    while (i < size && (n = space_length_at(text, i)) != 0) i += n;
    if (i == size) break;
    const std::size_t start = i;
    while (i < size && space_length_at(text, i) == 0) ++i;
    tokens.push_back(text.substr(start, i - start));
  }
  return tokens;
}

bool is_all_whitespace(std::string_view text) noexcept {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t n = space_length_at(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

bool equals_ignore_ascii_case(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = byte_at(a, i);
    unsigned char y = byte_at(b, i);
    if (x == y) continue;
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + ('a' - 'A'));
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + ('a' - 'A'));
    if (x != y) return false;
  }
  return true;
}

bool is_valid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p < end) {
    // ASCII fast path, eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if (word & 0x8080808080808080ULL) break;
      p += 8;
    }
    if (p == end) break;
    const unsigned char b0 = *p;
    if (b0 < 0x80) {
      ++p;
      continue;
    }
    const std::ptrdiff_t left = end - p;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      if (left < 2 || (p[1] & 0xC0) != 0x80) return false;
      p += 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      if (left < 3) return false;
      const unsigned char b1 = p[1];
      // E0 needs A0..BF (no overlongs); ED needs 80..9F (no surrogates).
      const unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
      const unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;
      if (b1 < lo || b1 > hi || (p[2] & 0xC0) != 0x80) return false;
      p += 3;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      if (left < 4) return false;
      const unsigned char b1 = p[1];
      // F0 needs 90..BF (no overlongs); F4 needs 80..8F (max U+10FFFF).
      const unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
      const unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
      if (b1 < lo || b1 > hi || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80) return false;
      p += 4;
    } else {
      return false;  // continuation byte, C0/C1 overlong lead, or F5..FF
    }
  }
  return true;
}

}  // namespace rtsp
