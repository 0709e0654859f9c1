// MethodHandler: answers the RTSP requests of one control connection.
//
// Owned and used by one connection thread only. handle() never fails: every
// request gets exactly one response. The only per-connection state is the
// list of sessions SETUP created on this connection.
//
// PLAY, PAUSE, TEARDOWN and the Session echo of GET_PARAMETER act on a session
// only when the request comes from the IP address the session sends RTP to;
// from anywhere else the session is treated as unknown, so that an id seen on
// the wire (or guessed) gives nobody else control of the stream.
//
// SETUP beyond the session limits of ServerConfig::limits is answered 503 and
// a request URI beyond its length limit 414; neither creates anything.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mount.hpp"
#include "protocol/request.hpp"
#include "protocol/response.hpp"
#include "server_config.hpp"
#include "session/session_manager.hpp"
#include "socket_address.hpp"

namespace rtsp {

class MethodHandler {
 public:
  MethodHandler(SocketAddress peer_addr, SessionManager session_manager,
                MountRegistry mount_registry, std::shared_ptr<const ServerConfig> config);

  RtspResponse handle(const RtspRequest& request);

  // The id in the first "Session" header, up to the first ';', trimmed.
  static std::optional<std::string> extract_session_id(const HeaderList& headers);

  const std::vector<std::string>& session_ids() const noexcept { return session_ids_; }
  const SocketAddress& peer_addr() const noexcept { return peer_addr_; }

 private:
  RtspResponse handle_options(const RtspRequest& request, const std::string& cseq);
  RtspResponse handle_describe(const RtspRequest& request, const std::string& cseq);
  RtspResponse handle_setup(const RtspRequest& request, const std::string& cseq);
  RtspResponse handle_play(const RtspRequest& request, const std::string& cseq);
  RtspResponse handle_pause(const RtspRequest& request, const std::string& cseq);
  RtspResponse handle_teardown(const RtspRequest& request, const std::string& cseq);
  RtspResponse handle_get_parameter(const RtspRequest& request, const std::string& cseq);

  // The registered session with this id if its RTP goes to this peer's IP
  // address; nullptr for unknown sessions and for sessions of other hosts
  // (a session without transport belongs to nobody).
  std::shared_ptr<Session> find_owned_session(std::string_view id) const;

  std::vector<std::string> session_ids_;
  SocketAddress peer_addr_;
  SessionManager session_manager_;
  MountRegistry mount_registry_;
  std::shared_ptr<const ServerConfig> config_;
};

}  // namespace rtsp
