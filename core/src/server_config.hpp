// ServerConfig: the fixed settings of one server. Read-only after
// construction; shared with every connection through a shared_ptr to const.
#pragma once

#include <chrono>
#include <cstddef>
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

// What one client may take of the server. Set by the core only (tests lower
// them); Python sees the defaults, which no real player or relay reaches.
struct ServerLimits {
  // SETUP beyond either is answered 503 and creates nothing. A player sets up
  // one session per track.
  std::size_t sessions_per_connection = 16;
  std::size_t sessions_per_server = 4096;
  // Control connections served at once, server-wide and from one IP address.
  // Zero means derived at start: server-wide from the descriptor limit (two
  // descriptors a connection, room left for the embedding program), capped
  // at kMaxConnections; per address half of the server-wide figure.
  std::size_t connections = 0;
  std::size_t connections_per_address = 0;
  // A request URI longer than this is answered 414 and creates nothing.
  std::size_t request_uri_bytes = 4096;
  // Control sockets: a small send buffer (answers are small), and how long
  // queued answers may wait for a peer that does not read them before the
  // connection ends with "write error".
  int control_send_buffer_bytes = 16384;
  std::chrono::milliseconds control_send_timeout{10000};
};

inline constexpr std::size_t kMaxConnections = 16384;
// Descriptors left to the embedding program when the connection limit is
// derived from the process's limit.
inline constexpr std::size_t kReservedDescriptors = 64;

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
  ServerLimits limits;
  // A warning that could repeat with every frame (a viewer whose datagrams
  // are refused, frames without a start code) goes out at most once per
  // this interval per session or mount. Set by the core only (tests shorten it).
  std::chrono::milliseconds repeated_warning_interval{1000};
};

}  // namespace rtsp
