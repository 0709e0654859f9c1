#include "session/session_manager.hpp"

#include <functional>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "log.hpp"
#include "text.hpp"

namespace rtsp {

namespace {

constexpr std::string_view kTarget = "rtsp::session";
constexpr std::uint64_t kFirstPort = 5000;
constexpr std::uint64_t kLastRtpPort = 65534;

}  // namespace

struct SessionManager::Registry {
  // Guards sessions. Exclusive for insertion and removal (the whole of a
  // batch), shared for lookups, counts and the walk for playing sessions.
  // May be held while a session's state lock is taken, never the reverse.
  mutable std::shared_mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<Session>, TextHash, std::equal_to<>> sessions;

  std::size_t count() const {
    std::shared_lock lock(mutex);
    return sessions.size();
  }
};

SessionManager::SessionManager()
    : registry_(std::make_shared<Registry>()),
      next_port_(std::make_shared<std::atomic<std::uint64_t>>(kFirstPort)) {}

std::shared_ptr<Session> SessionManager::create_session(std::string uri, std::size_t limit) {
  auto session = std::make_shared<Session>(uri);
  for (;;) {
    {
      std::unique_lock lock(registry_->mutex);
      if (registry_->sessions.size() >= limit) return nullptr;
      if (registry_->sessions.try_emplace(session->id(), session).second) break;
    }
    // A random id that a live session already holds: draw again.
    session = std::make_shared<Session>(uri);
  }
  // A second acquisition: the count may already include other threads' work.
  const std::size_t total = registry_->count();
  RTSP_EVENT(log::Level::Debug, kTarget, "session created", {"session_id", session->id()},
             {"uri", session->uri()}, {"total_sessions", total});
  return session;
}

std::shared_ptr<Session> SessionManager::get_session(std::string_view id) const {
  std::shared_lock lock(registry_->mutex);
  const auto it = registry_->sessions.find(id);
  return it == registry_->sessions.end() ? nullptr : it->second;
}

std::shared_ptr<Session> SessionManager::remove_session(std::string_view id) {
  std::shared_ptr<Session> removed;
  {
    std::unique_lock lock(registry_->mutex);
    const auto it = registry_->sessions.find(id);
    if (it == registry_->sessions.end()) return nullptr;
    removed = std::move(it->second);
    registry_->sessions.erase(it);
  }
  const std::size_t remaining = registry_->count();
  RTSP_EVENT(log::Level::Debug, kTarget, "session removed", {"session_id", id},
             {"total_sessions", remaining});
  return removed;
}

std::size_t SessionManager::remove_sessions(std::span<const std::string> ids) {
  // Released after the lock: a session may report its failed sends as it goes.
  std::vector<std::shared_ptr<Session>> removed;
  std::unique_lock lock(registry_->mutex);
  for (const auto& id : ids) {
    const auto it = registry_->sessions.find(id);
    if (it == registry_->sessions.end()) continue;
    removed.push_back(std::move(it->second));
    registry_->sessions.erase(it);
  }
  if (!removed.empty()) {
    RTSP_EVENT(log::Level::Debug, kTarget, "batch session cleanup", {"removed", removed.size()},
               {"remaining", registry_->sessions.size()});
  }
  lock.unlock();
  return removed.size();
}

std::vector<std::shared_ptr<Session>> SessionManager::get_playing_sessions() const {
  std::vector<std::shared_ptr<Session>> playing;
  std::shared_lock lock(registry_->mutex);
  for (const auto& [id, session] : registry_->sessions) {
    if (session->state() == SessionState::Playing) playing.push_back(session);
  }
  return playing;
}

std::pair<std::uint16_t, std::uint16_t> SessionManager::allocate_server_ports() {
  std::uint64_t base = next_port_->fetch_add(2);
  if (base <= kLastRtpPort) {
    RTSP_EVENT(log::Level::Trace, kTarget, "allocated server ports", {"rtp_port", base},
               {"rtcp_port", base + 1});
    return {static_cast<std::uint16_t>(base), static_cast<std::uint16_t>(base + 1)};
  }
  RTSP_EVENT(log::Level::Warn, kTarget, "port range exhausted, wrapping to 5000", {"rtp", base});
  // Two separate steps: callers racing at the wrap may both reset the counter
  // and receive the same pair. Pairs are never bound, so that is harmless.
  next_port_->store(kFirstPort);
  base = next_port_->fetch_add(2);
  return {static_cast<std::uint16_t>(base % 65536), static_cast<std::uint16_t>((base + 1) % 65536)};
}

std::size_t SessionManager::session_count() const { return registry_->count(); }

}  // namespace rtsp
