// SendPlan: the messages in which one frame's packets go to a set of
// destinations, worked out without touching a socket. UdpSender builds one per
// frame and hands its messages to the kernel.
//
// One RTP packet is always one datagram on the wire. With segmentation, a run
// of consecutive packets of equal size (the FU-A fragments of one NAL unit;
// the last may be shorter) is one message that the kernel cuts back into those
// same datagrams (UDP_SEGMENT). Without it, every packet is a message of its
// own. The messages of one socket are listed destination by destination, each
// destination's in packet order: the order in which they are sent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "socket_address.hpp"

namespace rtsp {

using ByteSpan = std::span<const std::uint8_t>;

// The largest UDP payload of one send, and the most datagrams the kernel cuts
// one send into (its smallest limit across versions).
inline constexpr std::size_t kMaxSendBytes = 65507;
inline constexpr std::size_t kMaxSegments = 64;

// The sender's two sockets: IPv4, and IPv6-only.
enum class SendSocket : std::uint8_t { V4 = 0, V6 = 1 };

// Which of the two sockets the sender has (IPv6 may be missing on the host).
struct OpenSockets {
  bool v4 = true;
  bool v6 = true;
};

// Where one destination's datagrams go: the socket, and the address in that
// socket's family.
struct SendRoute {
  SendSocket socket;
  SocketAddress addr;
};

// IPv4 destinations, and IPv4-mapped IPv6 ones (an IPv4 client seen through a
// dual-stack listener) unmapped, go from the IPv4 socket; other IPv6 ones from
// the IPv6 socket. EAFNOSUPPORT when that socket is not open.
std::expected<SendRoute, int> route_to(const SocketAddress& to, OpenSockets open) noexcept;

// Packets [first, first + count) to one destination in one send. With
// count >= 2 the kernel cuts it into datagrams of `segment` bytes, the last
// possibly shorter; a single packet has segment 0.
struct SendMessage {
  std::size_t destination;
  std::size_t first;
  std::size_t count;
  std::uint16_t segment;
};

struct SendPlan {
  // One per destination, in the order given: its route, or the errno for
  // which none of its packets can be sent.
  std::vector<std::expected<SendRoute, int>> routes;
  // Indexed by SendSocket.
  std::array<std::vector<SendMessage>, 2> messages;

  std::span<const SendMessage> messages_of(SendSocket socket) const noexcept {
    return messages[static_cast<std::size_t>(socket)];
  }
};

// The plan for sending every packet, in order, to every destination. `reuse`
// lends its buffers (pass the previous plan to spare allocations); its
// contents are discarded.
SendPlan plan_sends(std::span<const ByteSpan> packets, std::span<const SocketAddress> to,
                    bool segmentation, OpenSockets open, SendPlan reuse = {});

// How many packets from the front of `packets` one segmented send may carry:
// equal sizes but the last, which may be shorter, at most kMaxSegments and
// kMaxSendBytes in all; at least 1 when `packets` is not empty.
std::size_t segment_run_length(std::span<const ByteSpan> packets) noexcept;

}  // namespace rtsp
