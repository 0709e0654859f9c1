#include "transport/udp_sender.hpp"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

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

std::expected<std::size_t, int> send_one(int fd, const SocketAddress& to, ByteSpan payload) {
  for (;;) {
    const ssize_t sent =
        ::sendto(fd, payload.data(), payload.size(), 0, to.sockaddr_ptr(), to.length());
    if (sent >= 0) return static_cast<std::size_t>(sent);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

}  // namespace

UdpSender::UdpSender(Fd v4, Fd v6) : v4_(std::move(v4)), v6_(std::move(v6)) {
  size_send_buffer(v4_);
  size_send_buffer(v6_);
}

std::expected<std::size_t, int> UdpSender::send(const SocketAddress& to, ByteSpan payload) const {
  const auto route = route_to(to, OpenSockets{v4_.valid(), v6_.valid()});
  if (!route) return std::unexpected(route.error());
  return send_one(descriptor(route->socket), route->addr, payload);
}

void UdpSender::send_packets(std::span<const SocketAddress> to, std::span<const ByteSpan> packets,
                             const std::function<void(std::size_t, int)>& failed) {
  if (to.empty() || packets.empty()) return;
  plan_ = plan_sends(packets, to, segmentation(), OpenSockets{v4_.valid(), v6_.valid()},
                     std::move(plan_));
  for (std::size_t d = 0; d < plan_.routes.size(); ++d) {
    if (plan_.routes[d]) continue;
    for (std::size_t k = 0; k < packets.size(); ++k) failed(d, plan_.routes[d].error());
  }
  iov_.resize(packets.size());
  for (std::size_t i = 0; i < packets.size(); ++i) {
    iov_[i] = iovec{const_cast<std::uint8_t*>(packets[i].data()), packets[i].size()};
  }
  for (const SendSocket socket : {SendSocket::V4, SendSocket::V6}) {
    if (plan_.messages_of(socket).empty()) continue;
    send_messages(descriptor(socket), plan_.messages_of(socket), packets, failed);
  }
}

void UdpSender::send_messages(int fd, std::span<const SendMessage> planned,
                              std::span<const ByteSpan> packets,
                              const std::function<void(std::size_t, int)>& failed) {
  controls_.resize(planned.size());
  headers_.resize(planned.size());
  for (std::size_t m = 0; m < planned.size(); ++m) {
    const SendMessage& message = planned[m];
    const SocketAddress& to = plan_.routes[message.destination]->addr;
    mmsghdr& header = headers_[m];
    header = mmsghdr{};
    header.msg_hdr.msg_name = const_cast<sockaddr*>(to.sockaddr_ptr());
    header.msg_hdr.msg_namelen = to.length();
    header.msg_hdr.msg_iov = &iov_[message.first];
    header.msg_hdr.msg_iovlen = message.count;
    if (message.segment == 0) continue;
    auto* cmsg = reinterpret_cast<cmsghdr*>(controls_[m].bytes);
    cmsg->cmsg_level = SOL_UDP;
    cmsg->cmsg_type = UDP_SEGMENT;
    cmsg->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    std::memcpy(CMSG_DATA(cmsg), &message.segment, sizeof message.segment);
    header.msg_hdr.msg_control = controls_[m].bytes;
    header.msg_hdr.msg_controllen = sizeof controls_[m].bytes;
  }

  std::size_t next = 0;
  while (next < planned.size()) {
    if (!segmentation()) {
      // Refused (earlier in this call or before) or switched off: what is
      // left goes one datagram a call.
      for (; next < planned.size(); ++next) send_singly(fd, planned[next], 0, packets, failed);
      return;
    }
    const auto batch =
        static_cast<unsigned>(std::min<std::size_t>(planned.size() - next, UIO_MAXIOV));
    const int sent = ::sendmmsg(fd, &headers_[next], batch, 0);
    if (sent > 0) {
      next += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    // The kernel stops a batch at the first message that fails and reports
    // that message's error when the batch starts with it.
    const int error = sent < 0 ? errno : EIO;
    const SendMessage& message = planned[next];
    if (message.segment == 0 || !may_refuse_segmentation(error)) {
      for (std::size_t k = 0; k < message.count; ++k) failed(message.destination, error);
      ++next;
      continue;
    }
    // Either segmentation was refused, or this destination refuses any
    // datagram (port 0, say): the first packet on its own tells which.
    const auto single =
        send_one(fd, plan_.routes[message.destination]->addr, packets[message.first]);
    if (single) {
      segmentation_refused_ = true;
      RTSP_EVENT(log::Level::Info, kTarget,
                 "UDP segmentation offload unavailable; sending one datagram per packet",
                 {"error", RtspError::io(error).message()});
    } else {
      failed(message.destination, single.error());
    }
    send_singly(fd, message, 1, packets, failed);
    ++next;
  }
}

void UdpSender::send_singly(int fd, const SendMessage& message, std::size_t skip,
                            std::span<const ByteSpan> packets,
                            const std::function<void(std::size_t, int)>& failed) const {
  const SocketAddress& to = plan_.routes[message.destination]->addr;
  for (std::size_t k = skip; k < message.count; ++k) {
    const auto sent = send_one(fd, to, packets[message.first + k]);
    if (!sent) failed(message.destination, sent.error());
  }
}

std::optional<SocketAddress> UdpSender::local_v4_addr() const {
  if (!v4_) return std::nullopt;
  return SocketAddress::local_of(v4_.get());
}

}  // namespace rtsp
