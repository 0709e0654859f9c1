// ConnectionSlots: how many control connections are served at once, in all
// and from one client IP address, so that no single client can take every
// connection the process can hold.
//
// The listener takes a Slot for each accepted connection before it starts
// the connection's thread; the Slot goes back when that thread drops it.
// ConnectionSlots is a cheap value handle: copies and Slots share one count,
// which outlives them all. acquire() and Slot release lock internally and may
// run on any thread.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <string>

#include "server_config.hpp"
#include "socket_address.hpp"

namespace rtsp {

class ConnectionSlots {
 public:
  // Which limit refused a connection.
  enum class Refusal { Server, Address };

  // One connection's claim; move-only, released on destruction.
  class Slot {
   public:
    Slot(Slot&& other) noexcept = default;
    Slot& operator=(Slot&& other) noexcept;
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    ~Slot();

   private:
    friend class ConnectionSlots;
    struct State;
    Slot(std::shared_ptr<State> state, std::string address) noexcept;
    void release() noexcept;

    std::shared_ptr<State> state_;
    std::string address_;
  };

  ConnectionSlots(std::size_t total, std::size_t per_address);
  // The limits `limits` gives, deriving those left at zero from this
  // process's soft descriptor limit now.
  static ConnectionSlots for_limits(const ServerLimits& limits);

  std::expected<Slot, Refusal> acquire(const SocketAddress& peer);

  std::size_t total_limit() const noexcept { return total_limit_; }
  std::size_t per_address_limit() const noexcept { return per_address_limit_; }

 private:
  std::size_t total_limit_;
  std::size_t per_address_limit_;
  std::shared_ptr<Slot::State> state_;
};

}  // namespace rtsp
