// Frame and packet delivery, and the viewer list: the Server members through
// which the embedding program pushes media and looks at its audience.
//
// Called on the embedding program's thread, serialised per server by the
// caller (the Python object's lock), while connection threads change sessions
// and subscriptions at any time. No registry lock is held while a datagram is
// sent: every lookup, state read and transport read takes and releases its own
// lock, so a session that goes away is simply skipped from the next frame on.
// A frame holds its viewers' sessions until it has gone out: a session's
// failed sends are counted in it, and one removed meanwhile reports what is
// left of them when this last handle goes.

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "log.hpp"
#include "server.hpp"

namespace rtsp {
namespace {

constexpr std::string_view kTarget = "rtsp::server";
constexpr std::string_view kDefaultMount = "/stream";

// A subscriber that should get media now: the session still exists, is
// Playing and has a transport (tested in that order; the state and the
// transport are two separate reads).
struct PlayingViewer {
  std::shared_ptr<Session> session;
  SocketAddress addr;  // where its RTP goes
};

std::optional<PlayingViewer> playing_viewer(const SessionManager& sessions,
                                            std::string_view session_id) {
  auto session = sessions.get_session(session_id);
  if (!session) return std::nullopt;
  if (session->state() != SessionState::Playing) return std::nullopt;
  const auto transport = session->transport();
  if (!transport) return std::nullopt;
  return PlayingViewer{std::move(session), transport->client_addr};
}

// Only looked for in frames that gave no packet, so normal frames are not
// scanned twice.
bool holds_start_code(std::span<const std::uint8_t> frame) {
  static constexpr std::uint8_t kStartCode[] = {0, 0, 1};
  return !std::ranges::search(frame, kStartCode).empty();
}

void warn_missing_start_code(std::string_view mount, std::span<const std::uint8_t> frame) {
  static constexpr std::string_view kDigits = "0123456789abcdef";
  std::string head;
  for (const std::uint8_t byte : frame.first(std::min<std::size_t>(frame.size(), 8))) {
    head += kDigits[byte >> 4];
    head += kDigits[byte & 0xF];
  }
  RTSP_EVENT(log::Level::Warn, kTarget, "frame holds no Annex B start code; nothing was sent",
             {"mount", mount}, {"length", frame.size()}, {"head", head});
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

  if (!packets.empty()) {
    mount->saw_start_code();
  } else if (!data.empty() && !holds_start_code(data) &&
             mount->missing_start_code_due(control_.config->repeated_warning_interval)) {
    warn_missing_start_code(mount->path(), data);
  }

  // Every viewer is looked up before the frame goes out to all of them at
  // once; one that leaves meanwhile may still get this frame.
  std::vector<std::shared_ptr<Session>> sessions;
  std::vector<SocketAddress> addresses;
  for (const std::string& id : mount->subscribed_session_ids()) {
    auto viewer = playing_viewer(control_.session_manager, id);
    if (!viewer) continue;
    sessions.push_back(std::move(viewer->session));
    addresses.push_back(viewer->addr);
  }
  std::vector<ByteSpan> payloads;
  payloads.reserve(packets.size());
  for (const RtpPacket& packet : packets) payloads.push_back(packet.bytes());
  const auto interval = control_.config->repeated_warning_interval;
  udp_sender_->send_packets(addresses, payloads, [&](std::size_t viewer, int error) {
    sessions[viewer]->send_failed(addresses[viewer], error, interval);
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
    const auto viewer = playing_viewer(control_.session_manager, id);
    if (!viewer) continue;
    const auto sent = udp_sender_->send(viewer->addr, payload);
    if (sent) {
      ++delivered;
    } else {
      viewer->session->send_failed(viewer->addr, sent.error(),
                                   control_.config->repeated_warning_interval);
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
