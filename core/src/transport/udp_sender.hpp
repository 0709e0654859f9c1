// UdpSender: the UDP sockets all RTP leaves from, and the way a frame's
// packets are handed to the kernel.
//
// One RTP packet is always one datagram on the wire. Where the kernel offers
// UDP segmentation offload (UDP_SEGMENT), a run of consecutive packets of
// equal size (the FU-A fragments of one NAL unit; the last may be shorter)
// is handed to the kernel as one message that it cuts back into those same
// datagrams. The messages of a frame for every viewer go out in as few
// sendmmsg calls as the kernel takes. If the kernel or the route refuses a
// segmented send, the sender falls back to one datagram per message for good
// (one INFO event) and re-sends the refused packets singly.
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
#include <utility>
#include <vector>

#include "media/rtp.hpp"
#include "socket_address.hpp"
#include "transport/fd.hpp"

namespace rtsp {

class UdpSender {
 public:
  // The largest UDP payload of one send, and the most datagrams the kernel
  // cuts one send into (its smallest limit across versions).
  static constexpr std::size_t kMaxSendBytes = 65507;
  static constexpr std::size_t kMaxSegments = 64;

  // `v4` is bound to 0.0.0.0:0; `v6` to [::]:0 (IPv6 only) or invalid where
  // the host has no IPv6. Sizes both send buffers.
  UdpSender(Fd v4, Fd v6);
  UdpSender(const UdpSender&) = delete;
  UdpSender& operator=(const UdpSender&) = delete;

  // One datagram from the socket of the destination's family (IPv4-mapped
  // IPv6 addresses go out of the IPv4 one). The bytes sent, or the errno.
  std::expected<std::size_t, int> send(const SocketAddress& to,
                                       std::span<const std::uint8_t> payload) const;

  // Every packet, in order, as one datagram each, to every destination.
  // Calls `failed(index into to, errno)` once for every packet that did not
  // go out.
  void send_packets(std::span<const SocketAddress> to, std::span<const RtpPacket> packets,
                    const std::function<void(std::size_t, int)>& failed);

  // Segmented sends are on from the start where the kernel has them; tests
  // switch them off to compare with the one-datagram-per-call path.
  void set_segmentation(bool enabled) noexcept { segmentation_ = enabled; }
  bool segmentation() const noexcept { return segmentation_; }

  std::optional<SocketAddress> local_v4_addr() const;
  // The IPv4 socket, for tests that change its options.
  int v4_descriptor() const noexcept { return v4_.get(); }

 private:
  struct Route {
    int fd;
    sockaddr_storage addr;
    socklen_t length;
  };

  std::expected<Route, int> route_to(const SocketAddress& to) const;
  static std::expected<std::size_t, int> send_one(const Route& route,
                                                  std::span<const std::uint8_t> payload);
  // A run of packets that goes out as one message: a single packet, or
  // (segment != 0) two or more of `segment` bytes, the last possibly shorter.
  struct Run {
    std::size_t first;
    std::size_t count;
    std::uint16_t segment;
  };
  // Space for one UDP_SEGMENT control message.
  struct alignas(cmsghdr) SegmentControl {
    char bytes[CMSG_SPACE(sizeof(std::uint16_t))];
  };

  void plan_runs(std::span<const RtpPacket> packets);
  // Sends messages_, all on `fd`; failures go to `failed`.
  void send_batch(int fd, std::span<const RtpPacket> packets,
                  const std::function<void(std::size_t, int)>& failed);
  // The packets of one message, one datagram each; the rest of a refused
  // segmented message.
  void send_singly(std::size_t message, std::size_t skip, std::span<const RtpPacket> packets,
                   const std::function<void(std::size_t, int)>& failed);

  Fd v4_;
  Fd v6_;
  bool segmentation_ = true;

  // Scratch space for one call of send_packets, kept to spare allocations.
  std::vector<Run> runs_;
  std::vector<iovec> iov_;
  std::vector<SegmentControl> controls_;
  std::vector<Route> routes_;
  std::vector<mmsghdr> messages_;
  // For each message: the destination's index and the run it carries.
  std::vector<std::pair<std::size_t, std::size_t>> message_origin_;
};

// How many packets from the front of `packets` one segmented send may carry.
std::size_t segment_run_length(std::span<const RtpPacket> packets) noexcept;

}  // namespace rtsp
