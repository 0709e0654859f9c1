#include "transport/connection_slots.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "text.hpp"

namespace rtsp {

struct ConnectionSlots::Slot::State {
  // Guards both counts.
  std::mutex mutex;
  std::size_t total = 0;
  // Connections by client IP address text; an address leaves the map with
  // its last connection.
  std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> by_address;
};

ConnectionSlots::Slot::Slot(std::shared_ptr<State> state, std::string address) noexcept
    : state_(std::move(state)), address_(std::move(address)) {}

ConnectionSlots::Slot& ConnectionSlots::Slot::operator=(Slot&& other) noexcept {
  if (this != &other) {
    release();
    state_ = std::move(other.state_);
    address_ = std::move(other.address_);
  }
  return *this;
}

ConnectionSlots::Slot::~Slot() { release(); }

void ConnectionSlots::Slot::release() noexcept {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    --state_->total;
    const auto it = state_->by_address.find(address_);
    if (--it->second == 0) state_->by_address.erase(it);
  }
  state_.reset();
}

ConnectionSlots::ConnectionSlots(std::size_t total, std::size_t per_address)
    : total_limit_(std::max<std::size_t>(total, 1)),
      per_address_limit_(std::clamp<std::size_t>(per_address, 1, total_limit_)),
      state_(std::make_shared<Slot::State>()) {}

ConnectionSlots ConnectionSlots::for_limits(const ServerLimits& limits) {
  std::size_t total = limits.connections;
  if (total == 0) {
    total = kMaxConnections;
    rlimit descriptors{};
    if (::getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY) {
      const auto soft = static_cast<std::size_t>(descriptors.rlim_cur);
      // Each connection holds two descriptors: one it reads, one it writes.
      total = std::min(total, soft > kReservedDescriptors ? (soft - kReservedDescriptors) / 2 : 1);
    }
  }
  std::size_t per_address = limits.connections_per_address;
  if (per_address == 0) per_address = total / 2;
  return ConnectionSlots(total, per_address);
}

std::expected<ConnectionSlots::Slot, ConnectionSlots::Refusal> ConnectionSlots::acquire(
    const SocketAddress& peer) {
  std::string address = peer.ip_string();
  std::lock_guard lock(state_->mutex);
  if (state_->total >= total_limit_) return std::unexpected(Refusal::Server);
  const auto [it, inserted] = state_->by_address.try_emplace(address, 0);
  if (it->second >= per_address_limit_) return std::unexpected(Refusal::Address);
  ++it->second;
  ++state_->total;
  return Slot(state_, std::move(address));
}

}  // namespace rtsp
