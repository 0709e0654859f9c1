#include "transport/udp_sender.hpp"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
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

void UdpSender::plan_runs(std::span<const RtpPacket> packets) {
  iov_.resize(packets.size());
  for (std::size_t i = 0; i < packets.size(); ++i) {
    iov_[i] = iovec{const_cast<std::uint8_t*>(packets[i].data()), packets[i].size()};
  }
  runs_.clear();
  for (std::size_t next = 0; next < packets.size();) {
    const std::size_t count = segmentation_ ? segment_run_length(packets.subspan(next)) : 1;
    std::uint16_t segment = 0;
    if (count >= 2) segment = static_cast<std::uint16_t>(packets[next].size());
    runs_.push_back(Run{next, count, segment});
    next += count;
  }
  controls_.assign(runs_.size(), SegmentControl{});
  for (std::size_t r = 0; r < runs_.size(); ++r) {
    if (runs_[r].segment == 0) continue;
    auto* cmsg = reinterpret_cast<cmsghdr*>(controls_[r].bytes);
    cmsg->cmsg_level = SOL_UDP;
    cmsg->cmsg_type = UDP_SEGMENT;
    cmsg->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    std::memcpy(CMSG_DATA(cmsg), &runs_[r].segment, sizeof runs_[r].segment);
  }
}

void UdpSender::send_packets(std::span<const SocketAddress> to, std::span<const RtpPacket> packets,
                             const std::function<void(std::size_t, int)>& failed) {
  if (to.empty() || packets.empty()) return;
  plan_runs(packets);
  routes_.clear();
  for (std::size_t i = 0; i < to.size(); ++i) {
    const auto route = route_to(to[i]);
    if (route) {
      routes_.push_back(*route);
      continue;
    }
    routes_.push_back(Route{-1, {}, 0});
    for (std::size_t k = 0; k < packets.size(); ++k) failed(i, route.error());
  }
  // One batch per socket, each destination's messages together and in order.
  for (const int fd : {v4_.get(), v6_.get()}) {
    if (fd < 0) continue;
    messages_.clear();
    message_origin_.clear();
    for (std::size_t i = 0; i < routes_.size(); ++i) {
      if (routes_[i].fd != fd) continue;
      for (std::size_t r = 0; r < runs_.size(); ++r) {
        mmsghdr message{};
        message.msg_hdr.msg_name = &routes_[i].addr;
        message.msg_hdr.msg_namelen = routes_[i].length;
        message.msg_hdr.msg_iov = &iov_[runs_[r].first];
        message.msg_hdr.msg_iovlen = runs_[r].count;
        if (runs_[r].segment != 0) {
          message.msg_hdr.msg_control = controls_[r].bytes;
          message.msg_hdr.msg_controllen = sizeof controls_[r].bytes;
        }
        messages_.push_back(message);
        message_origin_.emplace_back(i, r);
      }
    }
    send_batch(fd, packets, failed);
  }
}

void UdpSender::send_batch(int fd, std::span<const RtpPacket> packets,
                           const std::function<void(std::size_t, int)>& failed) {
  std::size_t next = 0;
  while (next < messages_.size()) {
    if (!segmentation_) {
      // Refused (earlier in this call or before) or switched off: what is
      // left goes one datagram a call.
      for (; next < messages_.size(); ++next) send_singly(next, 0, packets, failed);
      return;
    }
    const auto batch = static_cast<unsigned>(std::min<std::size_t>(messages_.size() - next, UIO_MAXIOV));
    const int sent = ::sendmmsg(fd, &messages_[next], batch, 0);
    if (sent > 0) {
      next += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    // The kernel stops a batch at the first message that fails and reports
    // that message's error when the batch starts with it.
    const int error = sent < 0 ? errno : EIO;
    const auto [destination, r] = message_origin_[next];
    const Run& run = runs_[r];
    if (run.segment == 0 || !may_refuse_segmentation(error)) {
      for (std::size_t k = 0; k < run.count; ++k) failed(destination, error);
      ++next;
      continue;
    }
    // Either segmentation was refused, or this destination refuses any
    // datagram (port 0, say): the first packet on its own tells which.
    const auto single = send_one(routes_[destination], packets[run.first].bytes());
    if (single) {
      segmentation_ = false;
      RTSP_EVENT(log::Level::Info, kTarget,
                 "UDP segmentation offload unavailable; sending one datagram per packet",
                 {"error", RtspError::io(error).message()});
    } else {
      failed(destination, single.error());
    }
    send_singly(next, 1, packets, failed);
    ++next;
  }
}

void UdpSender::send_singly(std::size_t message, std::size_t skip,
                            std::span<const RtpPacket> packets,
                            const std::function<void(std::size_t, int)>& failed) {
  const auto [destination, r] = message_origin_[message];
  const Run& run = runs_[r];
  for (std::size_t k = skip; k < run.count; ++k) {
    const auto sent = send_one(routes_[destination], packets[run.first + k].bytes());
    if (!sent) failed(destination, sent.error());
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
