// ControlContext: the state every control thread shares with the server that
// started it. Copies share everything; the members lock internally.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "mount.hpp"
#include "server_config.hpp"
#include "session/session_manager.hpp"

namespace rtsp {

struct ControlContext {
  SessionManager session_manager;
  MountRegistry mount_registry;
  std::shared_ptr<const ServerConfig> config;
  std::shared_ptr<std::atomic<bool>> running;
  // Bumped by a connection each time it starts waiting for its next request,
  // so that tests can tell when a connection is back in its read.
  std::shared_ptr<std::atomic<std::uint64_t>> requests_awaited =
      std::make_shared<std::atomic<std::uint64_t>>(0);
};

}  // namespace rtsp
