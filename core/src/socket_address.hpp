// SocketAddress: an IPv4 or IPv6 address with a port, as used for peers, RTP
// destinations and bind addresses.
//
// Text form: "192.0.2.7:5000" for IPv4, "[2001:db8::1]:5000" for IPv6.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rtsp {

class SocketAddress {
 public:
  SocketAddress() noexcept;  // 0.0.0.0:0

  // From a kernel address (AF_INET or AF_INET6); nothing for other families.
  static std::optional<SocketAddress> from_sockaddr(const sockaddr* addr, socklen_t len) noexcept;

  // The address a socket is bound to, and the one it is connected to;
  // nothing when the kernel does not say (or for other families).
  static std::optional<SocketAddress> local_of(int fd) noexcept;
  static std::optional<SocketAddress> peer_of(int fd) noexcept;

  // Numeric "a.b.c.d:port" or "[v6]:port"; no host names, the port is required.
  static std::optional<SocketAddress> parse(std::string_view text) noexcept;

  bool is_v6() const noexcept { return storage_.ss_family == AF_INET6; }
  std::uint16_t port() const noexcept;

  // The same IP with another port. For IPv6 the flow information becomes 0;
  // the scope id stays, since a link-local address means nothing without it.
  SocketAddress with_port(std::uint16_t port) const noexcept;

  // True when both hold the same IP address (ports, flow info and scope ignored).
  bool same_ip(const SocketAddress& other) const noexcept;

  // "192.0.2.7:5000" / "[2001:db8::1]:5000".
  std::string to_string() const;
  // The address alone: "192.0.2.7" / "2001:db8::1".
  std::string ip_string() const;

  const sockaddr* sockaddr_ptr() const noexcept {
    return reinterpret_cast<const sockaddr*>(&storage_);
  }
  socklen_t length() const noexcept;

 private:
  sockaddr_storage storage_;
};

}  // namespace rtsp
