// The RTSP control transport: the listener thread (accept_loop) and one
// thread per accepted connection (Connection).
//
// Server::start hands a bound, listening, non-blocking socket to
// spawn_accept_loop; the listener starts one detached thread per accepted
// stream, which runs Connection::handle, unless the connection limits of
// ServerConfig::limits refuse it (it is then closed at once, with a WARN at
// most once a second). Both thread bodies hold their own
// references to the shared state and are never joined; they end when the
// running flag is cleared (listener) or when their connection ends
// (connections).
#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "error.hpp"
#include "protocol/handler.hpp"
#include "socket_address.hpp"
#include "transport/control_context.hpp"
#include "transport/fd.hpp"

namespace rtsp {

// A request head (line endings included) longer than this ends the connection.
inline constexpr std::size_t kMaxRequestHeadBytes = 65536;
// So does a request whose Content-Length declares a longer body. Bodies are
// read and dropped, never interpreted.
inline constexpr std::size_t kMaxRequestBodyBytes = 65536;

// Listener thread body: accepts from the non-blocking listening socket,
// waiting up to 50 ms at a time for the next connection (and pausing 50 ms
// after an accept error), until `running` is false; then closes it. The
// connection limits are fixed when it starts.
void accept_loop(Fd listener, ControlContext context);

// Starts accept_loop on a new detached thread. On failure the listening
// socket is closed and an Io error returned.
std::expected<void, RtspError> spawn_accept_loop(Fd listener, ControlContext context);

class BufferedReader;

// One accepted control connection, owned by its thread. Whatever ends it,
// it ends once: the sessions set up on it are removed, INFO "client
// disconnected" names the reason, and both descriptors are closed.
class Connection {
 public:
  // Thread body: serves one accepted, blocking stream from `peer` until it
  // ends.
  static void handle(Fd stream, const SocketAddress& peer, ControlContext context);

  Connection(SocketAddress peer_addr, Fd reader, Fd writer, const ControlContext& context);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  // Ends the connection ("server shutting down") unless serve() did.
  ~Connection();

  // Answers requests until the connection ends, then ends it; returns the
  // reason.
  std::string_view serve();

 private:
  enum class HeadStatus {
    Complete,
    End,
    ReadError,
    TooLarge,
    BodyTooLarge,
    HeadTimedOut,
    IdleTimedOut,
  };

  // The request loop; returns the disconnect reason.
  std::string_view run();
  // Removes the sessions, reports the reason and closes, the first time only.
  void end(std::string_view reason);
  // Reads the next request head and drops the body it declares.
  HeadStatus read_head(std::string& head);
  // Writes one answer; false when the socket fails or the peer has not taken
  // queued output within the send timeout.
  bool write_all(std::string_view bytes);

  using Clock = std::chrono::steady_clock;

  MethodHandler handler_;
  std::string peer_text_;
  std::unique_ptr<BufferedReader> reader_;
  Fd writer_;
  ControlContext context_;
  bool ended_ = false;
  // When the last request head was completed (or the connection accepted).
  Clock::time_point last_request_;
  // Since when output has been waiting for the peer to take it; reset once
  // the peer has taken everything.
  std::optional<Clock::time_point> output_waiting_since_;
};

}  // namespace rtsp
