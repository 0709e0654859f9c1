// Frame and packet delivery, and the viewer list: the Server members through
// which the embedding program pushes media and looks at its audience.
//
// Called on the embedding program's thread, serialised per server by the
// caller (the Python object's lock), while connection threads change sessions
// and subscriptions at any time. No registry lock is held while a datagram is
// sent: every lookup, state read and transport read takes and releases its own
// lock, so a session that goes away is simply skipped from the next frame on.

#include <optional>

#include "log.hpp"
#include "server.hpp"

namespace rtsp {
namespace {

constexpr std::string_view kTarget = "rtsp::server";
constexpr std::string_view kDefaultMount = "/stream";

// Where a subscriber's RTP goes, if it should get media now: the session
// still exists, is Playing and has a transport (tested in that order; the
// state and the transport are two separate reads).
std::optional<SessionTransport> playing_transport(const SessionManager& sessions,
                                                  std::string_view session_id) {
  const auto session = sessions.get_session(session_id);
  if (!session) return std::nullopt;
  if (session->state() != SessionState::Playing) return std::nullopt;
  return session->transport();
}

void warn_send_failed(std::string_view session_id, const SocketAddress& to, int os_error) {
  RTSP_EVENT(log::Level::Warn, kTarget, "failed to send RTP packet", {"session_id", session_id},
             {"addr", to.to_string()}, {"error", RtspError::io(os_error).message()});
}

}  // namespace

std::expected<std::size_t, RtspError> Server::send_frame(std::span<const std::uint8_t> data,
                                                         std::uint32_t timestamp_increment) {
  return send_frame_to(kDefaultMount, data, timestamp_increment);
}

std::expected<std::size_t, RtspError> Server::send_frame_to(std::string_view mount_path,
                                                            std::span<const std::uint8_t> data,
                                                            std::uint32_t timestamp_increment) {
  if (!udp_sender_) return std::unexpected(RtspError::server_not_started());
  const auto mount = control_.mount_registry.get(mount_path);
  if (!mount) return std::unexpected(RtspError::mount_not_found(std::string(mount_path)));

  // Packetized once, before the audience is looked at, so the stream's
  // sequence numbers and timestamps advance even with nobody watching.
  const std::vector<RtpPacket> packets = mount->with_packetizer(
      [&](Packetizer& packetizer) { return packetizer.packetize(data, timestamp_increment); });

  // Every viewer is looked up before the frame goes out to all of them at
  // once; one that leaves meanwhile may still get this frame.
  const std::vector<std::string> subscribed = mount->subscribed_session_ids();
  std::vector<const std::string*> ids;
  std::vector<SocketAddress> addresses;
  for (const std::string& id : subscribed) {
    const auto transport = playing_transport(control_.session_manager, id);
    if (!transport) continue;
    ids.push_back(&id);
    addresses.push_back(transport->client_addr);
  }
  std::vector<ByteSpan> payloads;
  payloads.reserve(packets.size());
  for (const RtpPacket& packet : packets) payloads.push_back(packet.bytes());
  udp_sender_->send_packets(addresses, payloads, [&](std::size_t viewer, int error) {
    warn_send_failed(*ids[viewer], addresses[viewer], error);
  });
  return addresses.size();
}

std::expected<std::size_t, RtspError> Server::send_rtp_packet(
    std::string_view session_id, std::span<const std::uint8_t> payload) {
  if (!udp_sender_) return std::unexpected(RtspError::server_not_started());
  const auto session = control_.session_manager.get_session(session_id);
  if (!session) return std::unexpected(RtspError::session_not_found(std::string(session_id)));
  if (session->state() != SessionState::Playing) {
    return std::unexpected(RtspError::session_not_playing(std::string(session_id)));
  }
  const auto transport = session->transport();
  if (!transport)
    return std::unexpected(RtspError::transport_not_configured(std::string(session_id)));

  const auto sent = udp_sender_->send(transport->client_addr, payload);
  if (!sent) return std::unexpected(RtspError::io(sent.error()));
  return *sent;
}

std::expected<std::size_t, RtspError> Server::broadcast_rtp_packet(
    std::span<const std::uint8_t> payload) {
  if (!udp_sender_) return std::unexpected(RtspError::server_not_started());
  const auto mount = control_.mount_registry.get(kDefaultMount);
  if (!mount) return std::unexpected(RtspError::mount_not_found(std::string(kDefaultMount)));

  std::size_t delivered = 0;
  for (const std::string& id : mount->subscribed_session_ids()) {
    const auto transport = playing_transport(control_.session_manager, id);
    if (!transport) continue;
    const auto sent = udp_sender_->send(transport->client_addr, payload);
    if (sent) {
      ++delivered;
    } else {
      warn_send_failed(id, transport->client_addr, sent.error());
    }
  }
  return delivered;
}

std::vector<Viewer> Server::get_viewers() const {
  std::vector<Viewer> viewers;
  for (const auto& session : control_.session_manager.get_playing_sessions()) {
    const auto transport = session->transport();
    if (!transport) continue;
    viewers.push_back(Viewer{session->id(), session->uri(), transport->client_addr.to_string(),
                             transport->client_rtp_port});
  }
  return viewers;
}

}  // namespace rtsp
