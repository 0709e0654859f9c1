// Server: the core server behind the Python class of the same name.
//
// Owns the configuration, the session registry, the mount registry (with the
// mount "/stream", the default), the running flag shared with the control
// threads, and, once started, the UDP sockets all RTP leaves from.
//
// Not synchronised itself: the caller serialises calls on one Server (the
// Python object's lock). The registries lock internally and are used
// concurrently by the control threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "mount.hpp"
#include "server_config.hpp"
#include "session/session_manager.hpp"
#include "socket_address.hpp"
#include "transport/control_context.hpp"
#include "transport/fd.hpp"
#include "transport/udp_sender.hpp"
#include "viewer.hpp"

namespace rtsp {

class Server {
 public:
  // Never fails and touches no network.
  Server(std::string bind_addr, ServerConfig config);
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds the UDP sockets and the TCP listener, sets `running` and starts
  // the listener thread. Fails with ServerAlreadyRunning, InvalidBindAddress
  // or Io; a failed start leaves `running` false.
  std::expected<void, RtspError> start();
  // Clears `running` only; threads end by themselves, sessions stay.
  void stop();
  bool is_running() const noexcept;

  // Packetizes once, then sends every packet to every playing subscriber of
  // the mount. Returns the number of sessions addressed.
  std::expected<std::size_t, RtspError> send_frame(std::span<const std::uint8_t> data,
                                                   std::uint32_t timestamp_increment);
  std::expected<std::size_t, RtspError> send_frame_to(std::string_view mount_path,
                                                      std::span<const std::uint8_t> data,
                                                      std::uint32_t timestamp_increment);
  // Sends one datagram to a playing session; returns the bytes sent.
  std::expected<std::size_t, RtspError> send_rtp_packet(std::string_view session_id,
                                                        std::span<const std::uint8_t> payload);
  // Sends one datagram to every playing subscriber of "/stream"; returns the
  // number of datagrams sent successfully.
  std::expected<std::size_t, RtspError> broadcast_rtp_packet(std::span<const std::uint8_t> payload);
  std::vector<Viewer> get_viewers() const;

  const std::string& bind_addr() const noexcept { return bind_addr_; }
  const SessionManager& session_manager() const noexcept { return control_.session_manager; }
  const MountRegistry& mount_registry() const noexcept { return control_.mount_registry; }
  const std::shared_ptr<const ServerConfig>& config() const noexcept { return control_.config; }
  // How many times a control connection has started waiting for a request.
  std::uint64_t requests_awaited() const noexcept { return control_.requests_awaited->load(); }
  // The local address of the IPv4 UDP socket, once started.
  std::optional<SocketAddress> udp_local_addr() const;
  // The sender of the last start, or null; tests use it to switch segmented
  // sends off or to change socket options.
  UdpSender* udp_sender() const noexcept { return udp_sender_.get(); }

 private:
  std::string bind_addr_;
  // The registries, the configuration and the running flag, shared with
  // every control thread as they are.
  ControlContext control_;
  // The UDP sockets RTP leaves from (IPv4, and IPv6 where the host has it);
  // null until a start got as far as binding.
  std::shared_ptr<UdpSender> udp_sender_;
};

}  // namespace rtsp
