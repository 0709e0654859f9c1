// UdpSender: the UDP sockets all RTP leaves from, and the way a frame's
// packets are handed to the kernel.
//
// One RTP packet is always one datagram on the wire. Where the kernel offers
// UDP segmentation offload (UDP_SEGMENT), a run of consecutive packets of
// equal size (the FU-A fragments of one NAL unit; the last may be shorter)
// goes to a viewer in one system call that the kernel cuts back into those
// same datagrams; other packets go one per call. If the kernel or the route
// refuses a segmented send, the sender falls back to one datagram per call
// for good (one INFO event) and re-sends the refused packets singly.
//
// Not synchronised: the owning Server's caller serialises every call (the
// Python object's lock).
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>

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

  // Every packet, in order, as one datagram each. Calls `failed(errno)` once
  // for every packet that did not go out.
  void send_packets(const SocketAddress& to, std::span<const RtpPacket> packets,
                    const std::function<void(int)>& failed);

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
  // Sends `run` (two or more packets, all of the first one's size but the
  // last, which may be shorter) in one segmented call; 0 or the errno.
  static int send_segmented(const Route& route, std::span<const RtpPacket> run);

  Fd v4_;
  Fd v6_;
  bool segmentation_ = true;
};

// How many packets from the front of `packets` one segmented send may carry.
std::size_t segment_run_length(std::span<const RtpPacket> packets) noexcept;

}  // namespace rtsp
