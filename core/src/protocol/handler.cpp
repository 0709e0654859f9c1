#include "protocol/handler.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include "log.hpp"
#include "protocol/header.hpp"
#include "protocol/sdp.hpp"
#include "session/session.hpp"
#include "session/transport.hpp"
#include "text.hpp"

namespace rtsp {

namespace {

constexpr std::string_view kTarget = "rtsp::protocol::handler";

constexpr std::string_view kPublicMethods =
    "OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN, GET_PARAMETER";
constexpr std::string_view kUnsupportedTransportHint =
    "RTP/AVP/TCP (interleaved) not supported; use RTP/AVP (UDP), e.g. ffplay -rtsp_transport udp "
    "<url>";

// Every answer starts with "Server" (from the constructor) and then "CSeq".
RtspResponse reply(std::uint16_t status, std::string reason, const std::string& cseq) {
  RtspResponse response(status, std::move(reason));
  response.add_header("CSeq", cseq);
  return response;
}

RtspResponse session_not_found(const std::string& cseq) {
  return reply(454, "Session Not Found", cseq);
}

RtspResponse session_limit_reached(std::string_view limit, std::size_t max,
                                   const std::string& cseq) {
  RTSP_EVENT(log::Level::Warn, kTarget, "SETUP refused: session limit reached", {"limit", limit},
             {"max", max}, {"cseq", cseq});
  return reply(503, "Service Unavailable", cseq);
}

std::string session_header_value(const Session& session) {
  return session.id() + ";timeout=" + std::to_string(session.timeout());
}

// The host of an "rtsp://" or "rtsps://" URI, as DESCRIBE announces it: the
// authority (up to the first '/') without user information (up to its last
// '@'), then either the address inside a leading pair of brackets or the text
// up to the first ':' (so a port is dropped), trimmed. Empty for other
// schemes, an empty host and an unclosed bracket.
std::string_view uri_host(std::string_view uri) {
  std::string_view rest;
  if (uri.starts_with("rtsp://")) {
    rest = uri.substr(7);
  } else if (uri.starts_with("rtsps://")) {
    rest = uri.substr(8);
  } else {
    return {};
  }
  rest = rest.substr(0, rest.find('/'));
  if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
    rest.remove_prefix(at + 1);
  }
  rest = trim_whitespace(rest);
  if (rest.starts_with('[')) {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) return {};
    return trim_whitespace(rest.substr(1, close - 1));
  }
  return trim_whitespace(rest.substr(0, rest.find(':')));
}

}  // namespace

MethodHandler::MethodHandler(SocketAddress peer_addr, SessionManager session_manager,
                             MountRegistry mount_registry,
                             std::shared_ptr<const ServerConfig> config)
    : peer_addr_(peer_addr),
      session_manager_(std::move(session_manager)),
      mount_registry_(std::move(mount_registry)),
      config_(std::move(config)) {}

RtspResponse MethodHandler::handle(const RtspRequest& request) {
  const Header* cseq_header = find_header(request.headers, "CSeq");
  const std::string cseq = cseq_header != nullptr ? cseq_header->value : std::string("0");

  const std::size_t uri_limit = config_->limits.request_uri_bytes;
  if (request.uri.size() > uri_limit) {
    RTSP_EVENT(log::Level::Warn, kTarget, "request URI too large", {"method", request.method},
               {"cseq", cseq}, {"length", request.uri.size()}, {"limit", uri_limit});
    return reply(414, "Request-URI Too Large", cseq);
  }

  const std::string& method = request.method;
  if (method == "OPTIONS") return handle_options(request, cseq);
  if (method == "DESCRIBE") return handle_describe(request, cseq);
  if (method == "SETUP") return handle_setup(request, cseq);
  if (method == "PLAY") return handle_play(request, cseq);
  if (method == "PAUSE") return handle_pause(request, cseq);
  if (method == "TEARDOWN") return handle_teardown(request, cseq);
  if (method == "GET_PARAMETER") return handle_get_parameter(request, cseq);

  RTSP_EVENT(log::Level::Warn, kTarget, "unsupported RTSP method", {"method", method},
             {"cseq", cseq});
  return reply(501, "Not Implemented", cseq);
}

std::optional<std::string> MethodHandler::extract_session_id(const HeaderList& headers) {
  const Header* header = find_header(headers, "Session");
  if (header == nullptr) return std::nullopt;
  std::string_view value = header->value;
  value = value.substr(0, value.find(';'));
  return std::string(trim_whitespace(value));
}

std::shared_ptr<Session> MethodHandler::find_owned_session(std::string_view id) const {
  auto session = session_manager_.get_session(id);
  if (session == nullptr) return nullptr;
  const auto transport = session->transport();
  if (!transport || !transport->client_addr.same_ip(peer_addr_)) return nullptr;
  return session;
}

RtspResponse MethodHandler::handle_options(const RtspRequest&, const std::string& cseq) {
  RTSP_EVENT(log::Level::Debug, kTarget, "OPTIONS", {"cseq", cseq});
  return reply(200, "OK", cseq).add_header("Public", std::string(kPublicMethods));
}

RtspResponse MethodHandler::handle_get_parameter(const RtspRequest& request,
                                                 const std::string& cseq) {
  RTSP_EVENT(log::Level::Trace, kTarget, "GET_PARAMETER keepalive", {"cseq", cseq});
  RtspResponse response = reply(200, "OK", cseq);
  if (auto id = extract_session_id(request.headers)) {
    if (find_owned_session(*id) != nullptr) response.add_header("Session", std::move(*id));
  }
  return response;
}

RtspResponse MethodHandler::handle_describe(const RtspRequest& request, const std::string& cseq) {
  RTSP_EVENT(log::Level::Debug, kTarget, "DESCRIBE", {"cseq", cseq}, {"uri", request.uri});

  const auto mount = mount_registry_.resolve_from_uri(request.uri);
  if (mount == nullptr) {
    RTSP_EVENT(log::Level::Warn, kTarget, "DESCRIBE for unknown mount", {"uri", request.uri});
    return reply(404, "Not Found", cseq);
  }

  std::string host;
  if (config_->public_host) {
    host = *config_->public_host;
  } else if (const auto from_uri = uri_host(request.uri); !from_uri.empty()) {
    host = from_uri;
  } else {
    host = peer_addr_.ip_string();
  }

  std::string sdp =
      generate_sdp(*mount, host, config_->origin_session_id, config_->origin_session_version,
                   config_->origin_username, config_->session_name);

  RtspResponse response = reply(200, "OK", cseq);
  response.add_header("Content-Type", "application/sdp");
  response.add_header("Content-Base", request.uri);
  response.body = std::move(sdp);
  return response;
}

RtspResponse MethodHandler::handle_setup(const RtspRequest& request, const std::string& cseq) {
  const auto mount = mount_registry_.resolve_from_uri(request.uri);
  if (mount == nullptr) {
    RTSP_EVENT(log::Level::Warn, kTarget, "SETUP for unknown mount", {"uri", request.uri});
    return reply(404, "Not Found", cseq);
  }

  const Header* transport_header = find_header(request.headers, "Transport");
  if (transport_header == nullptr) {
    RTSP_EVENT(log::Level::Warn, kTarget, "SETUP missing Transport header", {"cseq", cseq});
    return reply(400, "Bad Request", cseq);
  }
  const std::string& value = transport_header->value;

  if (value.find("RTP/AVP/TCP") != std::string::npos ||
      value.find("interleaved=") != std::string::npos) {
    RTSP_EVENT(log::Level::Warn, kTarget, "client requested TCP transport (not implemented)",
               {"cseq", cseq}, {"transport", value});
    return reply(461, "Unsupported Transport", cseq)
        .add_header("Unsupported", std::string(kUnsupportedTransportHint));
  }

  const auto client = TransportHeader::parse(value);
  if (!client) {
    RTSP_EVENT(log::Level::Warn, kTarget, "SETUP invalid Transport header", {"cseq", cseq},
               {"transport_header", value});
    return reply(400, "Bad Request", cseq);
  }

  const ServerLimits& limits = config_->limits;
  if (session_ids_.size() >= limits.sessions_per_connection) {
    return session_limit_reached("sessions_per_connection", limits.sessions_per_connection, cseq);
  }
  if (session_manager_.session_count() >= limits.sessions_per_server) {
    return session_limit_reached("sessions_per_server", limits.sessions_per_server, cseq);
  }

  const auto [server_rtp, server_rtcp] = session_manager_.allocate_server_ports();
  const auto session = session_manager_.create_session(request.uri, limits.sessions_per_server);
  // Other connections may have taken the last sessions since the count above.
  if (session == nullptr) {
    return session_limit_reached("sessions_per_server", limits.sessions_per_server, cseq);
  }

  SessionTransport transport;
  transport.client_addr = peer_addr_.with_port(client->client_rtp_port);
  transport.client_rtp_port = client->client_rtp_port;
  transport.client_rtcp_port = client->client_rtcp_port;
  transport.server_rtp_port = server_rtp;
  transport.server_rtcp_port = server_rtcp;
  const std::string client_rtp = transport.client_addr.to_string();
  session->set_transport(transport);

  mount->subscribe(session->id());
  session_ids_.push_back(session->id());

  RTSP_EVENT(log::Level::Info, kTarget, "session created via SETUP", {"session_id", session->id()},
             {"mount", mount->path()}, {"uri", request.uri}, {"client_rtp", client_rtp},
             {"server_rtp_port", server_rtp});

  std::string transport_value = "RTP/AVP;unicast;client_port=";
  transport_value += std::to_string(client->client_rtp_port);
  transport_value += '-';
  transport_value += std::to_string(client->client_rtcp_port);
  transport_value += ";server_port=";
  transport_value += std::to_string(server_rtp);
  transport_value += '-';
  transport_value += std::to_string(server_rtcp);

  RtspResponse response = reply(200, "OK", cseq);
  response.add_header("Transport", std::move(transport_value));
  response.add_header("Session", session_header_value(*session));
  return response;
}

RtspResponse MethodHandler::handle_play(const RtspRequest& request, const std::string& cseq) {
  const auto id = extract_session_id(request.headers);
  if (!id) {
    RTSP_EVENT(log::Level::Warn, kTarget, "PLAY missing Session header", {"cseq", cseq});
    return session_not_found(cseq);
  }
  const auto session = find_owned_session(*id);
  if (session == nullptr) {
    RTSP_EVENT(log::Level::Warn, kTarget, "PLAY for unknown session", {"session_id", *id});
    return session_not_found(cseq);
  }

  session->set_state(SessionState::Playing);
  RTSP_EVENT(log::Level::Info, kTarget, "session started playing", {"session_id", *id});

  RtspResponse response = reply(200, "OK", cseq);
  response.add_header("Session", session_header_value(*session));
  response.add_header("Range", "npt=0.000-");
  if (const auto mount = mount_registry_.resolve_from_uri(session->uri())) {
    // Two separate reads: a frame sent in between may advance either value.
    const std::uint16_t seq = mount->next_sequence();
    const std::uint32_t rtptime = mount->next_rtp_timestamp();
    response.add_header("RTP-Info", "url=" + session->uri() + ";seq=" + std::to_string(seq) +
                                        ";rtptime=" + std::to_string(rtptime));
  }
  return response;
}

RtspResponse MethodHandler::handle_pause(const RtspRequest& request, const std::string& cseq) {
  const auto id = extract_session_id(request.headers);
  if (!id) {
    RTSP_EVENT(log::Level::Warn, kTarget, "PAUSE missing Session header", {"cseq", cseq});
    return session_not_found(cseq);
  }
  const auto session = find_owned_session(*id);
  if (session == nullptr) {
    RTSP_EVENT(log::Level::Warn, kTarget, "PAUSE for unknown session", {"session_id", *id});
    return session_not_found(cseq);
  }

  session->set_state(SessionState::Paused);
  RTSP_EVENT(log::Level::Info, kTarget, "session paused", {"session_id", *id});

  RtspResponse response = reply(200, "OK", cseq);
  response.add_header("Session", session_header_value(*session));
  return response;
}

RtspResponse MethodHandler::handle_teardown(const RtspRequest& request, const std::string& cseq) {
  const auto id = extract_session_id(request.headers);
  if (!id) {
    RTSP_EVENT(log::Level::Warn, kTarget, "TEARDOWN missing Session header", {"cseq", cseq});
    return session_not_found(cseq);
  }
  // Ownership is checked before anything is removed; a session removed by
  // another thread in between counts as unknown.
  if (find_owned_session(*id) == nullptr || session_manager_.remove_session(*id) == nullptr) {
    RTSP_EVENT(log::Level::Warn, kTarget, "TEARDOWN for unknown session", {"session_id", *id});
    return session_not_found(cseq);
  }

  mount_registry_.unsubscribe_all(*id);
  std::erase(session_ids_, *id);
  RTSP_EVENT(log::Level::Info, kTarget, "session terminated via TEARDOWN", {"session_id", *id});
  return reply(200, "OK", cseq);
}

}  // namespace rtsp
