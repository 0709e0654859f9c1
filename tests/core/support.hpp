// What the suites over real loopback sockets share: the one RTSP test client
// (blocking, with a receive buffer of its own), request builders and header
// lookup, free ports and listening sockets, the mount every server starts
// with, and a wait for conditions that other threads bring about.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "media/h264.hpp"
#include "mount.hpp"
#include "socket_address.hpp"
#include "transport/fd.hpp"

namespace rtsp::test_support {

// Polls `done` every few milliseconds until it holds or `limit` has passed.
template <class Pred>
bool eventually(Pred done, std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The loopback address of a family, with port 0.
inline SocketAddress loopback(int family = AF_INET) {
  return *SocketAddress::parse(family == AF_INET6 ? "[::1]:0" : "127.0.0.1:0");
}

// A TCP port on the loopback that was free a moment ago; 0 if none was.
inline std::uint16_t free_port(int family = AF_INET) {
  const Fd probe(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const SocketAddress any = loopback(family);
  if (!probe || ::bind(probe.get(), any.sockaddr_ptr(), any.length()) != 0) return 0;
  const auto bound = SocketAddress::local_of(probe.get());
  return bound ? bound->port() : 0;
}

// A listening TCP socket on a free loopback port, and its address.
struct Listener {
  Fd socket;
  SocketAddress address;
};
inline std::optional<Listener> listen_on_loopback(int flags = 0, int backlog = 128) {
  Fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0));
  const SocketAddress any = loopback();
  if (!socket || ::bind(socket.get(), any.sockaddr_ptr(), any.length()) != 0 ||
      ::listen(socket.get(), backlog) != 0) {
    return std::nullopt;
  }
  const auto address = SocketAddress::local_of(socket.get());
  if (!address) return std::nullopt;
  return Listener{std::move(socket), *address};
}

// The mount every server starts with: "/stream", H.264 with payload type 96
// and a random SSRC, also the default.
inline std::shared_ptr<Mount> add_stream_mount(MountRegistry& mounts, bool as_default = true) {
  // The packetizer can be neither copied nor moved: built in place.
  auto mount = mounts.add("/stream", std::unique_ptr<Packetizer>(
                                         new H264Packetizer(H264Packetizer::with_random_ssrc(96))));
  if (as_default) mounts.set_default("/stream");
  return mount;
}

// A blocking loopback client with a receive buffer of its own.
class Client {
 public:
  // From `source` (an IP address of this host) when given, else from the
  // address the kernel picks.
  explicit Client(const SocketAddress& server, std::string_view source = {})
      : fd_(::socket(server.is_v6() ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (fd_ && !source.empty()) {
      const auto from = SocketAddress::parse(std::string(source) + ":0");
      if (!from || ::bind(fd_.get(), from->sockaddr_ptr(), from->length()) != 0) fd_.reset();
    }
    connected_ = fd_ && ::connect(fd_.get(), server.sockaddr_ptr(), server.length()) == 0;
    if (const auto addr = connected_ ? SocketAddress::local_of(fd_.get()) : std::nullopt) {
      local_ = addr->to_string();
    }
  }

  bool connected() const { return connected_; }
  int fd() const { return fd_.get(); }

  // This end's address: the `peer` the server reports for us.
  const std::string& local() const { return local_; }

  // Sends everything it can; the server may already have cut us off.
  void send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  void shutdown_write() { ::shutdown(fd_.get(), SHUT_WR); }
  void close() { fd_.reset(); }

  // Bytes up to and including the next empty line, or nullopt; a body stays
  // in the buffer.
  std::optional<std::string> read_head(
      std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (const auto end = buffer_.find("\r\n\r\n"); end != std::string::npos) {
        std::string head = buffer_.substr(0, end + 4);
        buffer_.erase(0, end + 4);
        return head;
      }
      if (receive(deadline) <= 0) return std::nullopt;
    }
  }

  // One response: the head, plus the body its Content-Length announces.
  std::optional<std::string> read_response(
      std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto end = buffer_.find("\r\n\r\n");
      if (end != std::string::npos) {
        std::size_t total = end + 4;
        const auto length = buffer_.find("Content-Length: ");
        if (length != std::string::npos && length < end) {
          total += std::strtoul(buffer_.c_str() + length + 16, nullptr, 10);
        }
        if (buffer_.size() >= total) {
          std::string response = buffer_.substr(0, total);
          buffer_.erase(0, total);
          return response;
        }
      }
      if (receive(deadline) <= 0) return std::nullopt;
    }
  }

  // True when the server ends the connection within `limit`, whatever it
  // sends first.
  bool closed_within(std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const int got = receive(deadline);
      if (got == 0) return true;
      if (got < 0) return false;
    }
  }

  // True when nothing arrives for `quiet` (the connection may stay open).
  bool silent_for(std::chrono::milliseconds quiet) {
    return buffer_.empty() && receive(std::chrono::steady_clock::now() + quiet) < 0 && !closed_;
  }

  // True when the server ends the connection within `limit`, having sent
  // nothing more.
  bool closed_without_answer(std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!closed_) {
      if (receive(deadline) < 0 && !closed_) return false;
    }
    return buffer_.empty();
  }

 private:
  // >0 bytes appended, 0 end of stream or reset, -1 timeout.
  int receive(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd pfd{fd_.get(), POLLIN, 0};
    if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return -1;
    char chunk[16384];
    const ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
    if (n <= 0) {
      closed_ = true;
      return 0;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return 1;
  }

  Fd fd_;
  bool connected_ = false;
  bool closed_ = false;
  std::string local_;
  std::string buffer_;
};

// The value of the first header line `name: value` after the start line, or
// empty.
inline std::string header_value(const std::string& response, std::string_view name) {
  const auto at = response.find("\r\n" + std::string(name) + ": ");
  if (at == std::string::npos) return {};
  const auto begin = at + name.size() + 4;
  return response.substr(begin, response.find("\r\n", begin) - begin);
}

// A SETUP of track1 of /stream on 127.0.0.1, asking for unicast UDP to
// `client_port` and the one above it.
inline std::string setup(std::string_view cseq, int client_port = 7000) {
  return "SETUP rtsp://127.0.0.1/stream/track1 RTSP/1.0\r\nCSeq: " + std::string(cseq) +
         "\r\nTransport: RTP/AVP;unicast;client_port=" + std::to_string(client_port) + "-" +
         std::to_string(client_port + 1) + "\r\n\r\n";
}

}  // namespace rtsp::test_support
