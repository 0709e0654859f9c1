#include "socket_address.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <charconv>
#include <cstring>

namespace rtsp {

SocketAddress::SocketAddress() noexcept {
  std::memset(&storage_, 0, sizeof storage_);
  storage_.ss_family = AF_INET;
}

std::optional<SocketAddress> SocketAddress::from_sockaddr(const sockaddr* addr,
                                                          socklen_t len) noexcept {
  SocketAddress out;
  if (addr == nullptr) return std::nullopt;
  if (addr->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    std::memcpy(&out.storage_, addr, sizeof(sockaddr_in));
    return out;
  }
  if (addr->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    std::memcpy(&out.storage_, addr, sizeof(sockaddr_in6));
    return out;
  }
  return std::nullopt;
}

namespace {

std::optional<std::uint16_t> parse_port(std::string_view text) noexcept {
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  unsigned value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace

std::optional<SocketAddress> SocketAddress::local_of(int fd) noexcept {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return std::nullopt;
  return from_sockaddr(reinterpret_cast<const sockaddr*>(&storage), length);
}

std::optional<SocketAddress> SocketAddress::peer_of(int fd) noexcept {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return std::nullopt;
  return from_sockaddr(reinterpret_cast<const sockaddr*>(&storage), length);
}

std::optional<SocketAddress> SocketAddress::parse(std::string_view text) noexcept {
  SocketAddress out;
  char host[INET6_ADDRSTRLEN + 1];
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return std::nullopt;
    }
    const std::string_view ip = text.substr(1, close - 1);
    const auto port = parse_port(text.substr(close + 2));
    if (!port || ip.size() >= sizeof host) return std::nullopt;
    std::memcpy(host, ip.data(), ip.size());
    host[ip.size()] = '\0';
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&out.storage_);
    std::memset(sin6, 0, sizeof *sin6);
    sin6->sin6_family = AF_INET6;
    if (inet_pton(AF_INET6, host, &sin6->sin6_addr) != 1) return std::nullopt;
    sin6->sin6_port = htons(*port);
    return out;
  }
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view ip = text.substr(0, colon);
  const auto port = parse_port(text.substr(colon + 1));
  if (!port || ip.size() >= sizeof host) return std::nullopt;
  std::memcpy(host, ip.data(), ip.size());
  host[ip.size()] = '\0';
  auto* sin = reinterpret_cast<sockaddr_in*>(&out.storage_);
  std::memset(sin, 0, sizeof *sin);
  sin->sin_family = AF_INET;
  if (inet_pton(AF_INET, host, &sin->sin_addr) != 1) return std::nullopt;
  sin->sin_port = htons(*port);
  return out;
}

std::uint16_t SocketAddress::port() const noexcept {
  if (is_v6()) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
}

SocketAddress SocketAddress::with_port(std::uint16_t port) const noexcept {
  SocketAddress out = *this;
  if (is_v6()) {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&out.storage_);
    sin6->sin6_port = htons(port);
    sin6->sin6_flowinfo = 0;
  } else {
    reinterpret_cast<sockaddr_in*>(&out.storage_)->sin_port = htons(port);
  }
  return out;
}

bool SocketAddress::same_ip(const SocketAddress& other) const noexcept {
  if (storage_.ss_family != other.storage_.ss_family) return false;
  if (is_v6()) {
    return std::memcmp(&reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr,
                       &reinterpret_cast<const sockaddr_in6*>(&other.storage_)->sin6_addr,
                       sizeof(in6_addr)) == 0;
  }
  return reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr.s_addr ==
         reinterpret_cast<const sockaddr_in*>(&other.storage_)->sin_addr.s_addr;
}

std::string SocketAddress::ip_string() const {
  char buf[INET6_ADDRSTRLEN];
  const char* text =
      is_v6() ? inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr,
                          buf, sizeof buf)
              : inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr, buf,
                          sizeof buf);
  return text != nullptr ? std::string(text) : std::string();
}

std::string SocketAddress::to_string() const {
  std::string out;
  if (is_v6()) {
    out += '[';
    out += ip_string();
    out += ']';
  } else {
    out += ip_string();
  }
  out += ':';
  out += std::to_string(port());
  return out;
}

socklen_t SocketAddress::length() const noexcept {
  return is_v6() ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

}  // namespace rtsp
