// Mount: one published stream (a path, its packetizer, its subscribers).
// MountRegistry: paths to mounts, a default mount, and the resolution of
// request URIs to mounts.
//
// Mounts are shared through std::shared_ptr. MountRegistry is a cheap value
// handle whose copies share the same mounts and default. Every operation locks
// internally. Lock order: default lock, then map lock, then a mount's
// subscriber lock. The packetizer lock is held for one packetizer call only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "media/packetizer.hpp"
#include "repeat_limit.hpp"
#include "text.hpp"

namespace rtsp {

class Mount {
 public:
  Mount(std::string path, std::unique_ptr<Packetizer> packetizer);
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;

  const std::string& path() const noexcept { return path_; }

  // Appends the id unless already listed (DEBUG "session subscribed").
  void subscribe(std::string_view session_id);
  // Swap-removes the first equal entry (DEBUG "session unsubscribed").
  void unsubscribe(std::string_view session_id);
  // A copy of the subscriber list, in its current order.
  std::vector<std::string> subscribed_session_ids() const;

  std::uint16_t next_sequence();
  std::uint32_t next_rtp_timestamp();

  // Whether a frame that held no start code is to be warned about: the first
  // such frame, and again after a frame that had one, at most once per
  // `interval`.
  bool missing_start_code_due(RepeatLimit::Clock::duration interval) noexcept;
  // Called for every frame that had a start code: one relaxed load.
  void saw_start_code() noexcept {
    if (!start_code_seen_.load(std::memory_order_relaxed)) {
      start_code_seen_.store(true, std::memory_order_relaxed);
    }
  }

  // Runs `call(Packetizer&)` with the packetizer lock held and returns its
  // result. One packetizer operation per call.
  template <class Call>
  decltype(auto) with_packetizer(Call&& call) {
    std::lock_guard lock(packetizer_mutex_);
    return std::forward<Call>(call)(*packetizer_);
  }

 private:
  const std::string path_;

  // Guards packetizer_ (exclusive, not re-entrant).
  std::mutex packetizer_mutex_;
  std::unique_ptr<Packetizer> packetizer_;

  // Guards subscribers_ and positions_.
  mutable std::shared_mutex subscribers_mutex_;
  std::vector<std::string> subscribers_;
  // Each subscriber's index in subscribers_, so that subscribing and
  // unsubscribing take constant time however many sessions there are.
  std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> positions_;

  // Whether a frame with a start code came after the last warning about one
  // without (so before the first such frame too).
  std::atomic<bool> start_code_seen_{true};
  RepeatLimit missing_start_code_;
};

// The mount path a request URI names: after "rtsp://" or "rtsps://" the text
// from the first '/', a bare path as is, "/stream" otherwise; then everything
// from the last "/track" is dropped.
std::string extract_mount_path(std::string_view uri);

class MountRegistry {
 public:
  MountRegistry();  // no mounts, no default

  // Registers (or replaces) the mount under `path`; INFO "mount registered".
  std::shared_ptr<Mount> add(std::string path, std::unique_ptr<Packetizer> packetizer);
  // Exact path lookup; nullptr when absent.
  std::shared_ptr<Mount> get(std::string_view path) const;
  void set_default(std::string path);
  // The mount the URI's path names, else the default mount, else nullptr.
  std::shared_ptr<Mount> resolve_from_uri(std::string_view uri) const;
  // Removes the id from the subscribers of every mount.
  void unsubscribe_all(std::string_view session_id) const;

 private:
  struct Mounts;
  struct Default;
  std::shared_ptr<Mounts> mounts_;
  std::shared_ptr<Default> default_;
};

}  // namespace rtsp
