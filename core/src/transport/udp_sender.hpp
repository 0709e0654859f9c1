// UdpSender: the UDP sockets all RTP leaves from, and the way a frame's
// packets are handed to the kernel.
//
// A frame is planned first (send_plan.hpp: which packets each message
// gathers, for which destination, from which socket, segmented or not), then
// sent: the messages of each socket, for every viewer, in as few sendmmsg
// calls as the kernel takes. If the kernel or the route refuses a segmented
// send, the sender stops segmenting for good (one INFO event) and re-sends
// the refused packets singly; from then on, as while segmentation is
// switched off, every packet goes out in a call of its own.
//
// Not synchronised: the owning Server's caller serialises every call (the
// Python object's lock).
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "socket_address.hpp"
#include "transport/fd.hpp"
#include "transport/send_plan.hpp"

namespace rtsp {

class UdpSender {
 public:
  // `v4` is bound to 0.0.0.0:0; `v6` to [::]:0 (IPv6 only) or invalid where
  // the host has no IPv6. Sizes both send buffers.
  UdpSender(Fd v4, Fd v6);
  UdpSender(const UdpSender&) = delete;
  UdpSender& operator=(const UdpSender&) = delete;

  // One datagram from the socket of the destination's family (IPv4-mapped
  // IPv6 addresses go out of the IPv4 one). The bytes sent, or the errno.
  std::expected<std::size_t, int> send(const SocketAddress& to, ByteSpan payload) const;

  // Every packet, in order, as one datagram each, to every destination.
  // Calls `failed(index into to, errno)` once for every packet that did not
  // go out.
  void send_packets(std::span<const SocketAddress> to, std::span<const ByteSpan> packets,
                    const std::function<void(std::size_t, int)>& failed);

  // Segmented sends are on from the start; tests switch them off to compare
  // with the one-datagram-per-call path. Switching them on again does not
  // undo a refusal by the kernel.
  void set_segmentation(bool enabled) noexcept { segmentation_enabled_ = enabled; }
  // Whether sends are segmented now: switched on, and not refused.
  bool segmentation() const noexcept { return segmentation_enabled_ && !segmentation_refused_; }

  std::optional<SocketAddress> local_v4_addr() const;
  // The IPv4 socket, for tests that change its options.
  int v4_descriptor() const noexcept { return v4_.get(); }

 private:
  // Space for one UDP_SEGMENT control message.
  struct alignas(cmsghdr) SegmentControl {
    char bytes[CMSG_SPACE(sizeof(std::uint16_t))];
  };

  int descriptor(SendSocket socket) const noexcept {
    return socket == SendSocket::V4 ? v4_.get() : v6_.get();
  }
  // Hands the planned messages of one socket to the kernel, as few calls as
  // it takes; on the first refusal of a segmented send, latches segmentation
  // off and sends the rest one datagram a call.
  void send_messages(int fd, std::span<const SendMessage> planned,
                     std::span<const ByteSpan> packets,
                     const std::function<void(std::size_t, int)>& failed);
  // The packets of one message from `skip` on, one datagram a call.
  void send_singly(int fd, const SendMessage& message, std::size_t skip,
                   std::span<const ByteSpan> packets,
                   const std::function<void(std::size_t, int)>& failed) const;

  Fd v4_;
  Fd v6_;
  bool segmentation_enabled_ = true;
  // Set for good once the kernel or the route refused a segmented send.
  bool segmentation_refused_ = false;

  // Kept from one call of send_packets to the next, to spare allocations.
  SendPlan plan_;
  std::vector<iovec> iov_;                // one per packet
  std::vector<SegmentControl> controls_;  // one per message
  std::vector<mmsghdr> headers_;          // one per message
};

}  // namespace rtsp
