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

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "error.hpp"
#include "mount.hpp"
#include "protocol/handler.hpp"
#include "server_config.hpp"
#include "session/session_manager.hpp"
#include "socket_address.hpp"
#include "transport/fd.hpp"

namespace rtsp {

// The state every control thread shares with the server that started it.
struct ControlContext {
  SessionManager session_manager;
  MountRegistry mount_registry;
  std::shared_ptr<const ServerConfig> config;
  std::shared_ptr<std::atomic<bool>> running;
};

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

// Reads lines from a stream through a fixed 8192-byte buffer. Bytes read
// ahead stay in the buffer for the next call.
class BufferedReader {
 public:
  static constexpr std::size_t kBufferSize = 8192;

  enum class Status {
    Line,      // a whole line (through its LF), or the last bytes before end of stream
    End,       // end of stream before any byte of a line
    Error,     // the read failed
    TooLong,   // `max_bytes` taken and the line still goes on
    TimedOut,  // the deadline passed before the line was complete
  };

  using Clock = std::chrono::steady_clock;
  // Asked before every wait for more bytes, with whether `out` holds any
  // byte yet; no deadline when it gives nullopt.
  using Deadline = std::function<std::optional<Clock::time_point>(bool started)>;

  explicit BufferedReader(Fd fd) noexcept : fd_(std::move(fd)) {}

  // Appends at most `max_bytes` bytes of the next line to `out`. Bytes
  // already buffered are served without waiting.
  Status read_line(std::string& out, std::size_t max_bytes, const Deadline& deadline = {});
  // Reads and drops the next `count` bytes; Line once they are all read.
  // End or Error when the stream ends or fails first, TimedOut at `deadline`.
  Status skip(std::size_t count, std::optional<Clock::time_point> deadline);

  void close() noexcept { fd_.reset(); }

 private:
  enum class Fill { Data, End, Error, TimedOut };
  // Refills an empty buffer, waiting no later than `deadline`.
  Fill fill(std::optional<Clock::time_point> deadline);

  Fd fd_;
  std::array<char, kBufferSize> buffer_{};
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

// One accepted control connection, owned by its thread.
class Connection {
 public:
  // Thread body: serves one accepted, blocking stream from `peer` until it
  // ends, then removes the sessions it set up and closes.
  static void handle(Fd stream, const SocketAddress& peer, ControlContext context);

  Connection(SocketAddress peer_addr, Fd reader, Fd writer, const ControlContext& context);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The request loop; returns the disconnect reason.
  std::string_view run();
  // Unsubscribes and removes the sessions set up on this connection.
  void cleanup();
  // Closes the reading descriptor, then the writing one.
  void close() noexcept;

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

  // Reads the next request head and drops the body it declares.
  HeadStatus read_head(std::string& head);
  // Writes one answer; false when the socket fails or the peer has not taken
  // queued output within the send timeout.
  bool write_all(std::string_view bytes);

  MethodHandler handler_;
  SocketAddress peer_addr_;
  std::string peer_text_;
  BufferedReader reader_;
  Fd writer_;
  ControlContext context_;
  // When the last request head was completed (or the connection accepted).
  BufferedReader::Clock::time_point last_request_;
  // Since when output has been waiting for the peer to take it; reset once
  // the peer has taken everything.
  std::optional<BufferedReader::Clock::time_point> output_waiting_since_;
};

}  // namespace rtsp
