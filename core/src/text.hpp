// Text helpers shared by the protocol readers: Unicode white space on UTF-8
// text, ASCII case folding, UTF-8 validation, and a hash for text keys.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

namespace rtsp {

// Removes Unicode White_Space characters (space, tab, LF, VT, FF, CR, U+0085,
// U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000)
// from both ends of UTF-8 text. Bytes that are not valid UTF-8 are kept.
std::string_view trim_whitespace(std::string_view text) noexcept;

// Splits at runs of Unicode white space; no empty tokens.
std::vector<std::string_view> split_whitespace(std::string_view text);

// True when `text` holds nothing but Unicode white space (or is empty).
bool is_all_whitespace(std::string_view text) noexcept;

// Equal ignoring ASCII case (only A-Z/a-z are folded; lengths must match).
bool equals_ignore_ascii_case(std::string_view a, std::string_view b) noexcept;

bool is_valid_utf8(std::string_view text) noexcept;

// A hash for maps keyed by std::string that are searched with a
// std::string_view (with std::equal_to<>), without building a key.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

}  // namespace rtsp
