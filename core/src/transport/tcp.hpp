// The RTSP control transport: the listener thread (accept_loop) and one
// thread per accepted connection (Connection).
//
// Both thread bodies hold their own references to the shared state and are
// never joined; they end when the running flag is cleared (listener) or when
// their connection ends (connections).
#pragma once

#include <atomic>
#include <cstddef>
#include <expected>
#include <memory>
#include <string_view>

#include "error.hpp"
#include "mount.hpp"
#include "server_config.hpp"
#include "session/session_manager.hpp"
#include "transport/fd.hpp"

namespace rtsp {

// The state every control thread shares with the server that started it.
struct ControlContext {
  SessionManager session_manager;
  MountRegistry mount_registry;
  std::shared_ptr<const ServerConfig> config;
  std::shared_ptr<std::atomic<bool>> running;
};

// A request head (line endings included) longer than this ends the connection.
inline constexpr std::size_t kMaxRequestHeadBytes = 65536;

// Listener thread body: polls the non-blocking listening socket (50 ms sleep
// when nothing is pending) until `running` is false, then closes it.
void accept_loop(Fd listener, ControlContext context);

// Starts accept_loop on a new detached thread. On failure the listening
// socket is closed and an Io error returned.
std::expected<void, RtspError> spawn_accept_loop(Fd listener, ControlContext context);

// Connection thread body: serves one accepted, blocking stream until it ends,
// then removes the sessions it set up.
void handle_connection(Fd stream, ControlContext context);

}  // namespace rtsp
