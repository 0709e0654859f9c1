#include "mount.hpp"

#include <algorithm>
#include <functional>
#include <unordered_map>

#include "log.hpp"
#include "text.hpp"

namespace rtsp {

namespace {

constexpr std::string_view kTarget = "rtsp::mount";
constexpr std::string_view kFallbackPath = "/stream";

}  // namespace

Mount::Mount(std::string path, std::unique_ptr<Packetizer> packetizer)
    : path_(std::move(path)), packetizer_(std::move(packetizer)) {}

void Mount::subscribe(std::string_view session_id) {
  std::unique_lock lock(subscribers_mutex_);
  if (!positions_.try_emplace(std::string(session_id), subscribers_.size()).second) return;
  subscribers_.emplace_back(session_id);
  RTSP_EVENT(log::Level::Debug, kTarget, "session subscribed", {"mount", path_},
             {"session_id", session_id});
}

void Mount::unsubscribe(std::string_view session_id) {
  std::unique_lock lock(subscribers_mutex_);
  const auto found = positions_.find(session_id);
  if (found == positions_.end()) return;
  // Order is not kept: the last entry takes the removed one's place.
  const std::size_t index = found->second;
  positions_.erase(found);
  if (index != subscribers_.size() - 1) {
    subscribers_[index] = std::move(subscribers_.back());
    positions_.find(subscribers_[index])->second = index;
  }
  subscribers_.pop_back();
  RTSP_EVENT(log::Level::Debug, kTarget, "session unsubscribed", {"mount", path_},
             {"session_id", session_id});
}

std::vector<std::string> Mount::subscribed_session_ids() const {
  std::shared_lock lock(subscribers_mutex_);
  return subscribers_;
}

std::uint16_t Mount::next_sequence() {
  return with_packetizer([](Packetizer& p) { return p.next_sequence(); });
}

std::uint32_t Mount::next_rtp_timestamp() {
  return with_packetizer([](Packetizer& p) { return p.next_rtp_timestamp(); });
}

bool Mount::missing_start_code_due(RepeatLimit::Clock::duration interval) noexcept {
  if (!start_code_seen_.load(std::memory_order_relaxed)) return false;
  if (!missing_start_code_.note(RepeatLimit::Clock::now(), interval)) return false;
  start_code_seen_.store(false, std::memory_order_relaxed);
  return true;
}

std::string extract_mount_path(std::string_view uri) {
  std::string_view path;
  std::string_view rest;
  bool has_scheme = false;
  if (uri.starts_with("rtsp://")) {
    rest = uri.substr(7);
    has_scheme = true;
  } else if (uri.starts_with("rtsps://")) {
    rest = uri.substr(8);
    has_scheme = true;
  }
  if (has_scheme) {
    const auto slash = rest.find('/');
    path = slash == std::string_view::npos ? kFallbackPath : rest.substr(slash);
  } else {
    path = uri.starts_with('/') ? uri : kFallbackPath;
  }
  if (const auto track = path.rfind("/track"); track != std::string_view::npos) {
    path = path.substr(0, track);
  }
  return std::string(path);
}

struct MountRegistry::Mounts {
  // Guards by_path. Exclusive in add, shared for lookups and for the whole
  // walk of unsubscribe_all. Taken after the default lock, before a mount's
  // subscriber lock.
  mutable std::shared_mutex mutex;
  std::unordered_map<std::string, std::shared_ptr<Mount>, TextHash, std::equal_to<>> by_path;
};

struct MountRegistry::Default {
  // Guards path. Taken before the map lock.
  mutable std::shared_mutex mutex;
  std::optional<std::string> path;
};

MountRegistry::MountRegistry()
    : mounts_(std::make_shared<Mounts>()), default_(std::make_shared<Default>()) {}

std::shared_ptr<Mount> MountRegistry::add(std::string path,
                                          std::unique_ptr<Packetizer> packetizer) {
  auto mount = std::make_shared<Mount>(path, std::move(packetizer));
  std::shared_ptr<Mount> replaced;
  {
    std::unique_lock lock(mounts_->mutex);
    auto [it, inserted] = mounts_->by_path.try_emplace(path, mount);
    if (!inserted) {
      replaced = std::exchange(it->second, mount);
    }
  }
  // `replaced` is released after the lock so that a packetizer never runs its
  // destructor under the map lock.
  replaced.reset();
  RTSP_EVENT(log::Level::Info, kTarget, "mount registered", {"path", path});
  return mount;
}

std::shared_ptr<Mount> MountRegistry::get(std::string_view path) const {
  std::shared_lock lock(mounts_->mutex);
  const auto it = mounts_->by_path.find(path);
  return it == mounts_->by_path.end() ? nullptr : it->second;
}

void MountRegistry::set_default(std::string path) {
  std::unique_lock lock(default_->mutex);
  default_->path = std::move(path);
}

std::shared_ptr<Mount> MountRegistry::resolve_from_uri(std::string_view uri) const {
  if (auto mount = get(extract_mount_path(uri))) return mount;
  std::shared_lock lock(default_->mutex);
  if (!default_->path) return nullptr;
  return get(*default_->path);
}

void MountRegistry::unsubscribe_all(std::string_view session_id) const {
  std::shared_lock lock(mounts_->mutex);
  for (const auto& [path, mount] : mounts_->by_path) mount->unsubscribe(session_id);
}

}  // namespace rtsp
