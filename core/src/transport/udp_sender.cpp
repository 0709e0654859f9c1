#include "transport/udp_sender.hpp"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "error.hpp"
#include "log.hpp"

namespace rtsp {

namespace {

constexpr std::string_view kTarget = "rtsp::server";

// About 100 ms of a 100-viewer 8 Mbit/s fan-out, so one key frame to many
// viewers does not stall on the buffer of a real interface. Forcing past the
// system's cap needs privileges; without them the capped size stays.
constexpr int kSendBufferBytes = 4 * 1024 * 1024;

void size_send_buffer(const Fd& fd) noexcept {
  if (!fd) return;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUFFORCE, &kSendBufferBytes,
                   sizeof kSendBufferBytes) != 0) {
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &kSendBufferBytes, sizeof kSendBufferBytes);
  }
}

// Errors with which the kernel or the route may refuse segmentation itself
// (no offload on the route, checksums off, a segment above the path MTU).
bool may_refuse_segmentation(int error) noexcept {
  return error == EIO || error == EINVAL || error == ENOPROTOOPT || error == EOPNOTSUPP;
}

}  // namespace

UdpSender::UdpSender(Fd v4, Fd v6) : v4_(std::move(v4)), v6_(std::move(v6)) {
  size_send_buffer(v4_);
  size_send_buffer(v6_);
}

std::size_t segment_run_length(std::span<const RtpPacket> packets) noexcept {
  if (packets.empty()) return 0;
  const std::size_t size = packets[0].size();
  if (size == 0) return 1;
  std::size_t count = 0;
  std::size_t bytes = 0;
  while (count < packets.size() && count < UdpSender::kMaxSegments &&
         bytes + packets[count].size() <= UdpSender::kMaxSendBytes) {
    const std::size_t next = packets[count].size();
    if (next > size) break;
    bytes += next;
    ++count;
    if (next < size) break;  // only the last segment may be shorter
  }
  return count == 0 ? 1 : count;
}

std::expected<UdpSender::Route, int> UdpSender::route_to(const SocketAddress& to) const {
  Route route{v4_.get(), {}, to.length()};
  std::memcpy(&route.addr, to.sockaddr_ptr(), to.length());
  if (to.is_v6()) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(to.sockaddr_ptr());
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
      // An IPv4 client seen through a dual-stack listener: the IPv6 socket is
      // IPv6-only, so it goes out of the IPv4 one.
      sockaddr_in unmapped{};
      unmapped.sin_family = AF_INET;
      unmapped.sin_port = v6->sin6_port;
      std::memcpy(&unmapped.sin_addr, &v6->sin6_addr.s6_addr[12], sizeof unmapped.sin_addr);
      std::memcpy(&route.addr, &unmapped, sizeof unmapped);
      route.length = sizeof unmapped;
    } else {
      route.fd = v6_.get();
    }
  }
  if (route.fd < 0) return std::unexpected(EAFNOSUPPORT);
  return route;
}

std::expected<std::size_t, int> UdpSender::send_one(const Route& route,
                                                    std::span<const std::uint8_t> payload) {
  for (;;) {
    const ssize_t sent = ::sendto(route.fd, payload.data(), payload.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&route.addr), route.length);
    if (sent >= 0) return static_cast<std::size_t>(sent);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

std::expected<std::size_t, int> UdpSender::send(const SocketAddress& to,
                                                std::span<const std::uint8_t> payload) const {
  const auto route = route_to(to);
  if (!route) return std::unexpected(route.error());
  return send_one(*route, payload);
}

int UdpSender::send_segmented(const Route& route, std::span<const RtpPacket> run) {
  std::array<iovec, kMaxSegments> iov;
  std::size_t total = 0;
  for (std::size_t i = 0; i < run.size(); ++i) {
    iov[i].iov_base = const_cast<std::uint8_t*>(run[i].data());
    iov[i].iov_len = run[i].size();
    total += run[i].size();
  }
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
  msghdr message{};
  message.msg_name = const_cast<sockaddr_storage*>(&route.addr);
  message.msg_namelen = route.length;
  message.msg_iov = iov.data();
  message.msg_iovlen = run.size();
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* cmsg = CMSG_FIRSTHDR(&message);
  cmsg->cmsg_level = SOL_UDP;
  cmsg->cmsg_type = UDP_SEGMENT;
  cmsg->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
  const auto segment = static_cast<std::uint16_t>(run[0].size());
  std::memcpy(CMSG_DATA(cmsg), &segment, sizeof segment);
  for (;;) {
    const ssize_t sent = ::sendmsg(route.fd, &message, 0);
    if (sent >= 0) return static_cast<std::size_t>(sent) == total ? 0 : EIO;
    if (errno != EINTR) return errno;
  }
}

void UdpSender::send_packets(const SocketAddress& to, std::span<const RtpPacket> packets,
                             const std::function<void(int)>& failed) {
  const auto route = route_to(to);
  if (!route) {
    for (std::size_t i = 0; i < packets.size(); ++i) failed(route.error());
    return;
  }
  std::size_t next = 0;
  while (next < packets.size()) {
    const auto rest = packets.subspan(next);
    const std::size_t run = segmentation_ ? segment_run_length(rest) : 1;
    if (run >= 2) {
      const int error = send_segmented(*route, rest.first(run));
      if (error == 0) {
        next += run;
        continue;
      }
      if (!may_refuse_segmentation(error)) {
        for (std::size_t i = 0; i < run; ++i) failed(error);
        next += run;
        continue;
      }
      // Either segmentation was refused, or this destination refuses any
      // datagram (port 0, say): the first packet on its own tells which.
      // Either way the packets are sent singly from here on.
      const auto single = send_one(*route, rest[0].bytes());
      if (single) {
        segmentation_ = false;
        RTSP_EVENT(log::Level::Info, kTarget,
                   "UDP segmentation offload unavailable; sending one datagram per packet",
                   {"error", RtspError::io(error).message()});
      } else {
        failed(single.error());
      }
      ++next;
      continue;
    }
    const auto sent = send_one(*route, rest[0].bytes());
    if (!sent) failed(sent.error());
    ++next;
  }
}

std::optional<SocketAddress> UdpSender::local_v4_addr() const {
  if (!v4_) return std::nullopt;
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(v4_.get(), reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    return std::nullopt;
  }
  return SocketAddress::from_sockaddr(reinterpret_cast<const sockaddr*>(&storage), length);
}

}  // namespace rtsp
