#include "server.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "log.hpp"
#include "media/h264.hpp"
#include "transport/tcp.hpp"

namespace rtsp {

namespace {

constexpr std::string_view kTarget = "rtsp::server";

// `text` between double quotes, with '"' and '\' escaped by a backslash and
// control characters written as escapes ("\n", "\u{1b}", "\u{85}").
std::string quoted(std::string_view text) {
  std::string out = "\"";
  const auto hex_escape = [&out](unsigned code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", code);
    out += buf;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    switch (byte) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\0':
        out += "\\0";
        continue;
      default:
        break;
    }
    if (byte < 0x20 || byte == 0x7f) {
      hex_escape(byte);
    } else if (byte == 0xc2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      // U+0080..U+009F, the C1 controls.
      hex_escape(static_cast<unsigned char>(text[i + 1]));
      ++i;
    } else {
      out += static_cast<char>(byte);
    }
  }
  out += '"';
  return out;
}

std::unexpected<RtspError> last_os_error() { return std::unexpected(RtspError::io(errno)); }

// A UDP socket bound to the wildcard address of its family, port chosen by
// the system. IPv6 sockets carry IPv6 only.
std::expected<Fd, RtspError> bind_udp(int family) {
  Fd fd(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return last_os_error();
  if (family == AF_INET6) {
    const int on = 1;
    if (::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0)
      return last_os_error();
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0)
      return last_os_error();
  } else {
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0)
      return last_os_error();
  }
  return fd;
}

// A listening TCP socket on `addr` (address reuse on), still blocking. The
// backlog is the kernel's largest (net.core.somaxconn): under a connection
// flood the listener may be off the CPU for tens of milliseconds, and a full
// backlog drops every client's SYN, which costs a legitimate client a one
// second retransmission. Refused connections are closed at once, so the
// backlog holds only what a flooder keeps open.
std::expected<Fd, RtspError> bind_listener(const SocketAddress& addr) {
  Fd fd(::socket(addr.is_v6() ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return last_os_error();
  const int on = 1;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return last_os_error();
  if (::bind(fd.get(), addr.sockaddr_ptr(), addr.length()) != 0) return last_os_error();
  if (::listen(fd.get(), SOMAXCONN) != 0) return last_os_error();
  return fd;
}

}  // namespace

Server::Server(std::string bind_addr, ServerConfig config)
    : bind_addr_(std::move(bind_addr)),
      control_{.session_manager = SessionManager(),
               .mount_registry = MountRegistry(),
               .config = std::make_shared<const ServerConfig>(std::move(config)),
               .running = std::make_shared<std::atomic<bool>>(false)} {
  // The packetizer is not movable, so it is built in place from the factory's
  // result rather than through make_unique.
  control_.mount_registry.add(
      "/stream",
      std::unique_ptr<Packetizer>(new H264Packetizer(H264Packetizer::with_random_ssrc(96))));
  control_.mount_registry.set_default("/stream");
}

std::expected<void, RtspError> Server::start() {
  if (control_.running->load(std::memory_order_relaxed)) {
    return std::unexpected(RtspError::server_already_running());
  }
  const auto addr = SocketAddress::parse(bind_addr_);
  if (!addr) {
    return std::unexpected(RtspError::invalid_bind_address(
        "expected host:port with explicit port, got " + quoted(bind_addr_)));
  }
  if (addr->port() == 0) {
    return std::unexpected(RtspError::invalid_bind_address("port must be explicit (non-zero)"));
  }

  auto udp_v4 = bind_udp(AF_INET);
  if (!udp_v4) return std::unexpected(std::move(udp_v4.error()));
  // Hosts without IPv6 still start; IPv6 clients then get no RTP.
  auto udp_v6 = bind_udp(AF_INET6);
  udp_sender_ = std::make_shared<UdpSender>(std::move(*udp_v4), udp_v6 ? std::move(*udp_v6) : Fd());

  auto listener = bind_listener(*addr);
  if (!listener) return std::unexpected(std::move(listener.error()));
  if (const int flags = ::fcntl(listener->get(), F_GETFL);
      flags < 0 || ::fcntl(listener->get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    return last_os_error();  // `listener` closes on return
  }

  control_.running->store(true, std::memory_order_relaxed);
  RTSP_EVENT(log::Level::Info, kTarget, "RTSP server listening", {"addr", bind_addr_});
  auto spawned = spawn_accept_loop(std::move(*listener), control_);
  if (!spawned) {
    control_.running->store(false, std::memory_order_relaxed);
    return std::unexpected(std::move(spawned.error()));
  }
  return {};
}

void Server::stop() {
  control_.running->store(false, std::memory_order_relaxed);
  RTSP_EVENT(log::Level::Info, kTarget, "server stopping");
}

bool Server::is_running() const noexcept {
  return control_.running->load(std::memory_order_relaxed);
}

std::optional<SocketAddress> Server::udp_local_addr() const {
  if (!udp_sender_) return std::nullopt;
  return udp_sender_->local_v4_addr();
}

}  // namespace rtsp
