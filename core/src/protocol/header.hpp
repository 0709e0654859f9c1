// Header: one RTSP header line as a (name, value) pair, and the lookup rule
// shared by every reader of request headers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace rtsp {

struct Header {
  std::string name;
  std::string value;

  friend bool operator==(const Header&, const Header&) = default;
};

using HeaderList = std::vector<Header>;

// The first header whose name equals `name` ignoring ASCII case, or nullptr.
// Later duplicates are never seen.
const Header* find_header(const HeaderList& headers, std::string_view name) noexcept;

}  // namespace rtsp
