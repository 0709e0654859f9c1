// RequestHeads: cuts a byte stream into request heads the way a control
// connection reads them: lines through their LF, a head ending with a line
// that is exactly "\n" or "\r\n".
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

class RequestHeads {
 public:
  explicit RequestHeads(std::string_view stream) noexcept : rest_(stream) {}

  // The next complete head (final empty line included), or nothing when the
  // rest holds no complete head; rest() is then the unfinished tail.
  std::optional<std::string_view> next() noexcept {
    std::size_t at = 0;
    while (at < rest_.size()) {
      const std::size_t lf = rest_.find('\n', at);
      if (lf == std::string_view::npos) break;
      const std::string_view line = rest_.substr(at, lf + 1 - at);
      at = lf + 1;
      if (line == "\n" || line == "\r\n") {
        const std::string_view head = rest_.substr(0, at);
        rest_.remove_prefix(at);
        return head;
      }
    }
    return std::nullopt;
  }

  std::string_view rest() const noexcept { return rest_; }

 private:
  std::string_view rest_;
};
