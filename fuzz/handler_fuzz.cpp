// Fuzz target: two method handlers (peers 127.0.0.1 and 127.0.0.2) sharing
// one server state, fed a sequence of request heads.
//
// Input: one byte choosing the peer of each head (bit i % 8 for head i), then
// request heads as a connection would read them. "$0" to "$9" in a head
// stand for the ids of the sessions created so far in this run (oldest
// first, modulo their number), so sequences can name live sessions.
//
// After every request:
//  - the response begins with "Server: mirovid/0.1" and then the CSeq echo
//    (the first CSeq header's value, or "0"), with a status the handler uses;
//  - every id in a handler's session_ids is a live session, listed once
//    across both handlers, with its RTP going to that handler's peer IP;
//  - every live session is subscribed to exactly the mount its URI resolves
//    to, every subscriber is a live session, and the session registry holds
//    nothing else;
//  - PLAY, PAUSE and TEARDOWN succeed only on a session of the asking peer,
//    and leave it Playing, Paused or gone.
// At the end both connections clean up as a closing connection does, which
// must leave no session and no subscriber behind.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "media/h264.hpp"
#include "mount.hpp"
#include "protocol/handler.hpp"
#include "protocol/request.hpp"
#include "request_heads.hpp"
#include "server_config.hpp"
#include "session/session.hpp"
#include "session/session_manager.hpp"
#include "socket_address.hpp"

namespace {

constexpr std::array<std::uint16_t, 6> kStatuses = {200, 400, 404, 454, 461, 501};

rtsp::SocketAddress address(std::string_view text) {
  const auto parsed = rtsp::SocketAddress::parse(text);
  FUZZ_CHECK(parsed.has_value());
  return *parsed;
}

std::string substitute_ids(std::string_view head, const std::vector<std::string>& created) {
  std::string out;
  for (std::size_t i = 0; i < head.size(); ++i) {
    if (head[i] == '$' && i + 1 < head.size() && head[i + 1] >= '0' && head[i + 1] <= '9' &&
        !created.empty()) {
      out += created[static_cast<std::size_t>(head[i + 1] - '0') % created.size()];
      ++i;
    } else {
      out += head[i];
    }
  }
  return out;
}

bool lists(const std::vector<std::string>& ids, std::string_view id) {
  return std::ranges::find(ids, id) != ids.end();
}

struct SharedState {
  rtsp::SessionManager sessions;
  rtsp::MountRegistry mounts;
  std::shared_ptr<rtsp::Mount> stream;
  std::shared_ptr<rtsp::Mount> live;
};

void check_registries(const SharedState& state, const std::vector<rtsp::MethodHandler>& peers) {
  std::vector<std::string> all;
  for (const rtsp::MethodHandler& peer : peers) {
    for (const std::string& id : peer.session_ids()) {
      FUZZ_CHECK(!lists(all, id));
      all.push_back(id);
      const auto session = state.sessions.get_session(id);
      FUZZ_CHECK(session != nullptr);
      const auto transport = session->transport();
      FUZZ_CHECK(transport.has_value());
      FUZZ_CHECK(transport->client_addr.same_ip(peer.peer_addr()));

      const auto mount = state.mounts.resolve_from_uri(session->uri());
      FUZZ_CHECK(mount != nullptr);
      for (const auto& candidate : {state.stream, state.live}) {
        FUZZ_CHECK(lists(candidate->subscribed_session_ids(), id) == (candidate == mount));
      }
    }
  }
  FUZZ_CHECK(state.sessions.session_count() == all.size());
  for (const auto& mount : {state.stream, state.live}) {
    for (const std::string& id : mount->subscribed_session_ids()) FUZZ_CHECK(lists(all, id));
  }
}

void check_response(const rtsp::RtspRequest& request, const rtsp::RtspResponse& response) {
  FUZZ_CHECK(std::ranges::find(kStatuses, response.status_code) != kStatuses.end());
  FUZZ_CHECK(response.headers.size() >= 2);
  FUZZ_CHECK(response.headers[0] == (rtsp::Header{"Server", "mirovid/0.1"}));
  const rtsp::Header* cseq = rtsp::find_header(request.headers, "CSeq");
  FUZZ_CHECK(response.headers[1] == (rtsp::Header{"CSeq", cseq ? cseq->value : "0"}));
  FUZZ_CHECK(response.body.has_value() ==
             (request.method == "DESCRIBE" && response.status_code == 200));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t peer_bits = data[0];
  RequestHeads heads(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));

  SharedState state;
  state.stream =
      state.mounts.add("/stream", std::make_unique<rtsp::H264Packetizer>(rtsp::RtpHeader(96, 1)));
  state.live =
      state.mounts.add("/live", std::make_unique<rtsp::H264Packetizer>(rtsp::RtpHeader(96, 2)));
  state.mounts.set_default("/stream");
  const auto config = std::make_shared<const rtsp::ServerConfig>();

  std::vector<rtsp::MethodHandler> peers;
  peers.emplace_back(address("127.0.0.1:40000"), state.sessions, state.mounts, config);
  peers.emplace_back(address("127.0.0.2:40002"), state.sessions, state.mounts, config);
  std::vector<std::string> created;

  std::size_t index = 0;
  while (const auto head = heads.next()) {
    rtsp::MethodHandler& peer = peers[(peer_bits >> (index++ % 8)) & 1];
    const auto request = rtsp::RtspRequest::parse(substitute_ids(*head, created));
    if (!request) continue;

    const auto session_id = rtsp::MethodHandler::extract_session_id(request->headers);
    const bool owned_before = session_id && lists(peer.session_ids(), *session_id);
    const std::size_t ids_before = peer.session_ids().size();

    const rtsp::RtspResponse response = peer.handle(*request);
    check_response(*request, response);

    const bool ok = response.status_code == 200;
    const std::string& method = request->method;
    if (method == "SETUP") {
      FUZZ_CHECK(peer.session_ids().size() == ids_before + (ok ? 1 : 0));
      if (ok) created.push_back(peer.session_ids().back());
    } else if (method == "PLAY" || method == "PAUSE" || method == "TEARDOWN") {
      FUZZ_CHECK(!ok || owned_before);
      if (ok && method == "TEARDOWN") {
        FUZZ_CHECK(state.sessions.get_session(*session_id) == nullptr);
        FUZZ_CHECK(!lists(peer.session_ids(), *session_id));
      } else if (ok) {
        FUZZ_CHECK(state.sessions.get_session(*session_id)->state() ==
                   (method == "PLAY" ? rtsp::SessionState::Playing : rtsp::SessionState::Paused));
      }
    } else {
      FUZZ_CHECK(peer.session_ids().size() == ids_before);
    }
    check_registries(state, peers);
  }

  // What each connection's cleanup does when it closes.
  for (const rtsp::MethodHandler& peer : peers) {
    for (const std::string& id : peer.session_ids()) state.mounts.unsubscribe_all(id);
    FUZZ_CHECK(state.sessions.remove_sessions(peer.session_ids()) == peer.session_ids().size());
  }
  FUZZ_CHECK(state.sessions.session_count() == 0);
  FUZZ_CHECK(state.stream->subscribed_session_ids().empty());
  FUZZ_CHECK(state.live->subscribed_session_ids().empty());
  return 0;
}
