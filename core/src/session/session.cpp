#include "session/session.hpp"

#include <mutex>
#include <utility>

#include "error.hpp"
#include "log.hpp"
#include "media/random.hpp"

namespace rtsp {

namespace {

constexpr std::string_view kTarget = "rtsp::session";
// A failed send is delivery's event, and keeps delivery's target.
constexpr std::string_view kDeliveryTarget = "rtsp::server";

// Sixteen upper-case hex digits, zero-padded on the left.
std::string format_session_id(std::uint64_t value) {
  static constexpr std::string_view kDigits = "0123456789ABCDEF";
  std::string out(16, '0');
  for (std::size_t i = out.size(); i > 0 && value != 0; --i) {
    out[i - 1] = kDigits[value & 0xF];
    value >>= 4;
  }
  return out;
}

void warn_send_failed(std::string_view session_id, const SocketAddress& to, int os_error,
                      std::uint64_t failed) {
  RTSP_EVENT(log::Level::Warn, kDeliveryTarget, "failed to send RTP packet",
             {"session_id", session_id}, {"addr", to.to_string()},
             {"error", RtspError::io(os_error).message()}, {"failed", failed});
}

}  // namespace

std::string_view session_state_name(SessionState state) noexcept {
  switch (state) {
    case SessionState::Ready:
      return "Ready";
    case SessionState::Playing:
      return "Playing";
    case SessionState::Paused:
      return "Paused";
  }
  return "Unknown";
}

Session::Session(std::string uri)
    : id_(format_session_id(std::uint64_t{random_u32()} << 32 | random_u32())),
      uri_(std::move(uri)) {}

Session::~Session() {
  // No other handle is left, so no send can fail meanwhile.
  const std::uint64_t failed = send_failures_.take_unreported();
  if (failed == 0 || !transport_) return;
  warn_send_failed(id_, transport_->client_addr, last_send_error_.load(std::memory_order_relaxed),
                   failed);
}

void Session::set_transport(SessionTransport transport) {
  RTSP_EVENT(log::Level::Debug, kTarget, "transport configured", {"session_id", id_},
             {"client_addr", transport.client_addr.to_string()});
  std::unique_lock lock(transport_mutex_);
  transport_ = std::move(transport);
}

std::optional<SessionTransport> Session::transport() const {
  std::shared_lock lock(transport_mutex_);
  return transport_;
}

void Session::set_state(SessionState state) {
  if (log::enabled(log::Level::Debug)) {
    // The old state is read apart from the store below, so under concurrent
    // changes it may already be stale when the new state lands.
    std::shared_lock lock(state_mutex_);
    log::emit(log::Level::Debug, kTarget, "state transition",
              {{"session_id", id_},
               {"old_state", session_state_name(state_)},
               {"new_state", session_state_name(state)}});
  }
  std::unique_lock lock(state_mutex_);
  state_ = state;
}

SessionState Session::state() const {
  std::shared_lock lock(state_mutex_);
  return state_;
}

void Session::send_failed(const SocketAddress& to, int os_error,
                          RepeatLimit::Clock::duration interval) {
  if (!log::enabled(log::Level::Warn)) return;
  last_send_error_.store(os_error, std::memory_order_relaxed);
  if (const auto failed = send_failures_.note(RepeatLimit::Clock::now(), interval)) {
    warn_send_failed(id_, to, os_error, *failed);
  }
}

}  // namespace rtsp
