// ServerConfig: the fixed settings of one server. Read-only after
// construction; shared with every connection through a shared_ptr to const.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace rtsp {

// How the control connections notice peers that vanished or fell silent.
// Set by the core only (tests shorten them); Python sees the defaults.
struct ConnectionTimings {
  // TCP keep-alive: the first probe after this much silence, then one every
  // interval; after `keepalive_count` unanswered probes the socket fails.
  std::chrono::seconds keepalive_idle{30};
  std::chrono::seconds keepalive_interval{10};
  int keepalive_count = 3;
  // Unacknowledged data older than this fails the socket too (TCP_USER_TIMEOUT),
  // matched to the keep-alive bound.
  std::chrono::milliseconds user_timeout{60000};
  // A request head must be complete this long after its first byte.
  std::chrono::milliseconds head_timeout{30000};
  // A connection that owns no session is closed after this long without a
  // completed request.
  std::chrono::milliseconds idle_timeout{60000};
};

struct ServerConfig {
  std::string origin_username = "-";
  std::string origin_session_id = "0";
  std::string origin_session_version = "0";
  std::string session_name = "Stream";
  // When set, DESCRIBE announces this host instead of one derived from the request.
  std::optional<std::string> public_host;
  // Kept for the embedding program; nothing in the server reads it.
  std::optional<std::uint16_t> public_port;
  ConnectionTimings timings;
};

}  // namespace rtsp
