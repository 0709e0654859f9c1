#include "session/session.hpp"

#include <mutex>
#include <utility>

#include "log.hpp"
#include "media/random.hpp"

namespace rtsp {

namespace {

constexpr std::string_view kTarget = "rtsp::session";

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

}  // namespace rtsp
