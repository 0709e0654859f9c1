// SessionManager: the server-wide registry of live sessions, and the source
// of the server port pairs that SETUP announces.
//
// A cheap value handle: copies share one registry and one port counter. Every
// operation locks internally and may be called from any thread. Lock order:
// the registry lock may be held while a session's state lock is taken, never
// the other way round.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "session/session.hpp"

namespace rtsp {

class SessionManager {
 public:
  SessionManager();  // empty, next port 5000

  // Creates, registers and returns a new session in state Ready, with an id
  // that no live session holds; nullptr (and no event) when `limit` sessions
  // are live already.
  std::shared_ptr<Session> create_session(
      std::string uri, std::size_t limit = std::numeric_limits<std::size_t>::max());
  // nullptr when no session has exactly this id.
  std::shared_ptr<Session> get_session(std::string_view id) const;
  // The removed session, or nullptr (and no event) when there was none.
  std::shared_ptr<Session> remove_session(std::string_view id);
  // Removes every listed id that is present under one exclusive hold; returns
  // how many were removed.
  std::size_t remove_sessions(std::span<const std::string> ids);
  // Sessions whose state is Playing, in the registry's (unspecified) order.
  std::vector<std::shared_ptr<Session>> get_playing_sessions() const;
  // (rtp, rtp + 1) from 5000 upward in steps of 2; wraps to 5000 past 65534.
  std::pair<std::uint16_t, std::uint16_t> allocate_server_ports();

  std::size_t session_count() const;

 private:
  struct Registry;
  std::shared_ptr<Registry> registry_;
  std::shared_ptr<std::atomic<std::uint64_t>> next_port_;
};

}  // namespace rtsp
