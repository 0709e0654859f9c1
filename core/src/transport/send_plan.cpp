#include "transport/send_plan.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace rtsp {

std::expected<SendRoute, int> route_to(const SocketAddress& to, OpenSockets open) noexcept {
  SendRoute route{SendSocket::V4, to};
  if (to.is_v6()) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(to.sockaddr_ptr());
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
      // The IPv6 socket is IPv6-only, so the mapped address goes out of the
      // IPv4 one.
      sockaddr_in unmapped{};
      unmapped.sin_family = AF_INET;
      unmapped.sin_port = v6->sin6_port;
      std::memcpy(&unmapped.sin_addr, &v6->sin6_addr.s6_addr[12], sizeof unmapped.sin_addr);
      route.addr = *SocketAddress::from_sockaddr(reinterpret_cast<const sockaddr*>(&unmapped),
                                                 sizeof unmapped);
    } else {
      route.socket = SendSocket::V6;
    }
  }
  const bool is_open = route.socket == SendSocket::V4 ? open.v4 : open.v6;
  if (!is_open) return std::unexpected(EAFNOSUPPORT);
  return route;
}

std::size_t segment_run_length(std::span<const ByteSpan> packets) noexcept {
  if (packets.empty()) return 0;
  const std::size_t size = packets[0].size();
  if (size == 0) return 1;
  std::size_t count = 0;
  std::size_t bytes = 0;
  while (count < packets.size() && count < kMaxSegments &&
         bytes + packets[count].size() <= kMaxSendBytes) {
    const std::size_t next = packets[count].size();
    if (next > size) break;
    bytes += next;
    ++count;
    if (next < size) break;  // only the last segment may be shorter
  }
  return count == 0 ? 1 : count;
}

SendPlan plan_sends(std::span<const ByteSpan> packets, std::span<const SocketAddress> to,
                    bool segmentation, OpenSockets open, SendPlan reuse) {
  SendPlan plan = std::move(reuse);
  plan.routes.clear();
  for (auto& messages : plan.messages) messages.clear();

  for (const SocketAddress& destination : to) plan.routes.push_back(route_to(destination, open));

  // The runs are the same for every destination: worked out for the first one
  // with a route, then repeated for the others.
  std::size_t runs_begin = 0;
  std::size_t runs_count = 0;
  const std::vector<SendMessage>* runs = nullptr;
  for (std::size_t d = 0; d < plan.routes.size(); ++d) {
    if (!plan.routes[d]) continue;
    auto& messages = plan.messages[static_cast<std::size_t>(plan.routes[d]->socket)];
    if (runs == nullptr) {
      runs = &messages;
      runs_begin = messages.size();
      for (std::size_t first = 0; first < packets.size();) {
        const std::size_t count = segmentation ? segment_run_length(packets.subspan(first)) : 1;
        const auto segment = static_cast<std::uint16_t>(count >= 2 ? packets[first].size() : 0);
        messages.push_back(SendMessage{d, first, count, segment});
        first += count;
      }
      runs_count = messages.size() - runs_begin;
      continue;
    }
    // Copied out before the push, which may move the vector's storage.
    for (std::size_t r = 0; r < runs_count; ++r) {
      SendMessage message = (*runs)[runs_begin + r];
      message.destination = d;
      messages.push_back(message);
    }
  }
  return plan;
}

}  // namespace rtsp
