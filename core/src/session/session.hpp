// Session: one RTSP session as SETUP creates it.
//
// Shared through std::shared_ptr: the SessionManager holds one handle, every
// lookup returns another, and a removed session stays valid for its holders.
// `id`, `uri` and `timeout` never change; `transport` and `state` each have a
// reader-writer lock of their own, so any thread may read or change them.
//
// A session also counts the datagrams to it that the kernel refused, and
// reports them within bounds (send_failed); what is still unreported when the
// last handle goes is reported then, so every failure is counted exactly once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "repeat_limit.hpp"
#include "socket_address.hpp"

namespace rtsp {

enum class SessionState : std::uint8_t { Ready, Playing, Paused };

std::string_view session_state_name(SessionState state) noexcept;  // "Ready", ...

struct SessionTransport {
  SocketAddress client_addr;  // the client's IP with its RTP port: where RTP goes
  std::uint16_t client_rtp_port = 0;
  std::uint16_t client_rtcp_port = 0;
  std::uint16_t server_rtp_port = 0;
  std::uint16_t server_rtcp_port = 0;
};

class Session {
 public:
  // A new session with a random id (16 upper-case hex digits from the
  // process's cryptographically strong generator, so that no client can guess
  // another's), state Ready, no transport, timeout 60. Uniqueness among live
  // sessions is the registry's to ensure (SessionManager::create_session).
  explicit Session(std::string uri);
  // Emits the failed sends no event has reported yet (see send_failed).
  ~Session();

  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const std::string& id() const noexcept { return id_; }
  const std::string& uri() const noexcept { return uri_; }
  std::uint64_t timeout() const noexcept { return timeout_; }

  // Emits DEBUG "transport configured", then stores (replacing any earlier one).
  void set_transport(SessionTransport transport);
  std::optional<SessionTransport> transport() const;

  // No transition check. Emits DEBUG "state transition" with the old state
  // read under a shared hold released before the store.
  void set_state(SessionState state);
  SessionState state() const;

  // Counts one datagram to `to` that failed with `os_error`. The first, and
  // then at most one in every `interval`, emits WARN "failed to send RTP
  // packet" (target rtsp::server) with the datagrams failed since the last
  // one in `failed`. Lock-free, and nothing is counted while the event is
  // disabled.
  void send_failed(const SocketAddress& to, int os_error, RepeatLimit::Clock::duration interval);

 private:
  const std::string id_;
  const std::string uri_;
  const std::uint64_t timeout_ = 60;

  // Guards transport_.
  mutable std::shared_mutex transport_mutex_;
  std::optional<SessionTransport> transport_;

  // Guards state_.
  mutable std::shared_mutex state_mutex_;
  SessionState state_ = SessionState::Ready;

  RepeatLimit send_failures_;
  std::atomic<int> last_send_error_{0};
};

}  // namespace rtsp
