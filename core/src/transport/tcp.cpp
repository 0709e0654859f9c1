#include "transport/tcp.hpp"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log.hpp"
#include "protocol/request.hpp"
#include "protocol/response.hpp"
#include "repeat_limit.hpp"
#include "text.hpp"
#include "transport/connection_slots.hpp"

namespace rtsp {

namespace {

constexpr std::string_view kTarget = "rtsp::transport::tcp";
// How long the listener waits for a connection before it looks at `running`
// again, and how long it pauses after a failed accept.
constexpr auto kIdlePause = std::chrono::milliseconds(50);

constexpr std::string_view kReasonShutdown = "server shutting down";
constexpr std::string_view kReasonClosed = "connection closed by client";
constexpr std::string_view kReasonReadError = "read error";
constexpr std::string_view kReasonWriteError = "write error";
constexpr std::string_view kReasonHeadTooLarge = "request head too large";
constexpr std::string_view kReasonBodyTooLarge = "request body too large";
constexpr std::string_view kReasonHeadTimedOut = "request head timed out";
constexpr std::string_view kReasonIdleTimedOut = "idle connection timed out";

// "Too many open files (os error 24)".
std::string os_error_text(int error) {
  char buf[256];
  std::string out = strerror_r(error, buf, sizeof buf);
  out += " (os error ";
  out += std::to_string(error);
  out += ')';
  return out;
}

// Keep-alive probes and a bound on unacknowledged data, so a peer that
// vanished without closing (power loss, a pulled cable, an expired NAT entry)
// fails the next read instead of holding the connection forever. Best effort:
// a socket that refuses an option is served as before.
void watch_for_vanished_peer(int fd, const ConnectionTimings& timings) noexcept {
  const int on = 1;
  const int idle = static_cast<int>(timings.keepalive_idle.count());
  const int interval = static_cast<int>(timings.keepalive_interval.count());
  const int count = timings.keepalive_count;
  const auto user_timeout = static_cast<unsigned>(timings.user_timeout.count());
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, sizeof user_timeout);
}

// Answers are small, so a small send buffer is enough: a peer that stops
// reading pins little memory. (The receive buffer keeps its default: a small
// one throttles pipelined requests.) Each answer goes out in one send, so there is
// nothing for Nagle's algorithm to coalesce; left on, it held the second of
// two pipelined answers until the peer's delayed acknowledgement (40 ms).
// Best effort, like the options above.
void tune_send_side(int fd, const ServerLimits& limits) noexcept {
  const int buffer = limits.control_send_buffer_bytes;
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Bytes written to the socket that the peer has not acknowledged yet; zero
// when that cannot be told.
int queued_output(int fd) noexcept {
  int queued = 0;
  if (::ioctl(fd, SIOCOUTQ, &queued) != 0) return 0;
  return queued;
}

// The next close sends a reset and drops whatever is still queued, instead of
// keeping it for a peer that is not reading.
void reset_on_close(int fd) noexcept {
  const linger abort{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

bool set_blocking(int fd) noexcept {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Starts `body(arg)` on a new detached thread; 0 or the error number.
int spawn_detached(void* (*body)(void*), void* arg) noexcept {
  pthread_attr_t attr;
  int rc = ::pthread_attr_init(&attr);
  if (rc != 0) return rc;
  rc = ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (rc == 0) {
    pthread_t thread;
    rc = ::pthread_create(&thread, &attr, body, arg);
  }
  ::pthread_attr_destroy(&attr);
  return rc;
}

// What a new thread takes over from its creator.
struct ListenerStart {
  Fd listener;
  ControlContext context;
};

struct ConnectionStart {
  Fd stream;
  SocketAddress peer;
  // Given back once the thread has closed the connection.
  ConnectionSlots::Slot slot;
  ControlContext context;
};

void* connection_thread(void* arg) {
  std::unique_ptr<ConnectionStart> start(static_cast<ConnectionStart*>(arg));
  Connection::handle(std::move(start->stream), start->peer, std::move(start->context));
  return nullptr;
}

void* listener_thread(void* arg) {
  std::unique_ptr<ListenerStart> start(static_cast<ListenerStart*>(arg));
  accept_loop(std::move(start->listener), std::move(start->context));
  return nullptr;
}

// Connections refused for a limit, reported at most once a second with how
// many there were since the last report, so a flood does not flood the log.
class RefusalReport {
 public:
  void refused(const SocketAddress& peer, ConnectionSlots::Refusal refusal,
               const ConnectionSlots& slots) {
    const auto refused = limit_.note(RepeatLimit::Clock::now(), kInterval);
    if (!refused) return;
    const bool server_wide = refusal == ConnectionSlots::Refusal::Server;
    RTSP_EVENT(log::Level::Warn, kTarget, "connection refused: limit reached",
               {"peer_addr", peer.to_string()},
               {"limit", server_wide ? "connections" : "connections_per_address"},
               {"max", server_wide ? slots.total_limit() : slots.per_address_limit()},
               {"refused", *refused});
  }

 private:
  static constexpr auto kInterval = std::chrono::seconds(1);
  RepeatLimit limit_;
};

}  // namespace

// ---------------------------------------------------------------- listener

void accept_loop(Fd listener, ControlContext context) {
  ConnectionSlots slots = ConnectionSlots::for_limits(context.config->limits);
  RTSP_EVENT(log::Level::Debug, kTarget, "connection limits", {"connections", slots.total_limit()},
             {"connections_per_address", slots.per_address_limit()});
  RefusalReport refusals;
  while (context.running->load(std::memory_order_relaxed)) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    const int fd =
        ::accept4(listener.get(), reinterpret_cast<sockaddr*>(&storage), &length, SOCK_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      if (error == EAGAIN || error == EWOULDBLOCK) {
        // Nothing pending: wait until a connection arrives, so it is taken at
        // once, but no longer than the pause, so a cleared `running` is seen.
        pollfd ready{listener.get(), POLLIN, 0};
        ::poll(&ready, 1, static_cast<int>(kIdlePause.count()));
        continue;
      }
      if (context.running->load(std::memory_order_relaxed)) {
        RTSP_EVENT(log::Level::Warn, kTarget, "TCP accept error", {"error", os_error_text(error)});
      }
      // A persistent error (such as running out of descriptors) leaves the
      // socket readable, so it pauses rather than polls: no busy spin.
      std::this_thread::sleep_for(kIdlePause);
      continue;
    }
    Fd stream(fd);
    const auto peer =
        SocketAddress::from_sockaddr(reinterpret_cast<const sockaddr*>(&storage), length);
    if (!peer) continue;
    // Refused connections are closed at once, so the backlog never fills
    // with connections nobody would serve.
    auto slot = slots.acquire(*peer);
    if (!slot) {
      reset_on_close(stream.get());
      refusals.refused(*peer, slot.error(), slots);
      continue;
    }
    if (!set_blocking(stream.get())) continue;

    auto* start = new ConnectionStart{std::move(stream), *peer, std::move(*slot), context};
    if (const int rc = spawn_detached(connection_thread, start); rc != 0) {
      delete start;  // closes the stream
      RTSP_EVENT(log::Level::Warn, kTarget, "failed to spawn connection thread",
                 {"error", os_error_text(rc)});
    }
  }
  RTSP_EVENT(log::Level::Debug, kTarget, "accept loop exited");
  listener.reset();
}

std::expected<void, RtspError> spawn_accept_loop(Fd listener, ControlContext context) {
  auto* start = new ListenerStart{std::move(listener), std::move(context)};
  if (const int rc = spawn_detached(listener_thread, start); rc != 0) {
    delete start;  // closes the listening socket
    return std::unexpected(RtspError::io(rc));
  }
  return {};
}

// ---------------------------------------------------------- buffered reader

// Reads lines from a stream through a fixed 8192-byte buffer. Bytes read
// ahead stay in the buffer for the next call. Every wait for more bytes ends
// at the deadline given, if any.
class BufferedReader {
 public:
  using Clock = std::chrono::steady_clock;
  using Deadline = std::optional<Clock::time_point>;

  enum class Status {
    Line,      // a whole line (through its LF), or the last bytes before end of stream
    End,       // end of stream before any byte of a line
    Error,     // the read failed
    TooLong,   // `max_bytes` taken and the line still goes on
    TimedOut,  // the deadline passed first
  };

  explicit BufferedReader(Fd fd) noexcept : fd_(std::move(fd)) {}

  // Line once at least one byte is buffered, without taking it.
  Status wait_for_data(Deadline deadline);
  // Appends at most `max_bytes` bytes of the next line to `out`. Bytes
  // already buffered are served without waiting.
  Status read_line(std::string& out, std::size_t max_bytes, Deadline deadline);
  // Reads and drops the next `count` bytes; Line once they are all read.
  Status skip(std::size_t count, Deadline deadline);

  void close() noexcept { fd_.reset(); }

 private:
  static constexpr std::size_t kBufferSize = 8192;
  enum class Fill { Data, End, Error, TimedOut };
  // Refills an empty buffer, waiting no later than `deadline`.
  Fill fill(Deadline deadline);
  static Status status_of(Fill fill) noexcept;

  Fd fd_;
  std::array<char, kBufferSize> buffer_{};
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

BufferedReader::Fill BufferedReader::fill(Deadline deadline) {
  begin_ = 0;
  end_ = 0;
  for (;;) {
    if (deadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
      if (left.count() <= 0) return Fill::TimedOut;
      pollfd ready{fd_.get(), POLLIN, 0};
      const int n = ::poll(&ready, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
      if (n < 0 && errno != EINTR) return Fill::Error;
      if (n <= 0) continue;  // interrupted, or woke early: the deadline is looked at again
    }
    const ssize_t n = ::read(fd_.get(), buffer_.data(), buffer_.size());
    if (n > 0) {
      end_ = static_cast<std::size_t>(n);
      return Fill::Data;
    }
    if (n == 0) return Fill::End;
    if (errno == EINTR) continue;
    return Fill::Error;
  }
}

BufferedReader::Status BufferedReader::status_of(Fill fill) noexcept {
  switch (fill) {
    case Fill::Data:
      return Status::Line;
    case Fill::End:
      return Status::End;
    case Fill::TimedOut:
      return Status::TimedOut;
    case Fill::Error:
      break;
  }
  return Status::Error;
}

BufferedReader::Status BufferedReader::wait_for_data(Deadline deadline) {
  if (begin_ != end_) return Status::Line;
  return status_of(fill(deadline));
}

BufferedReader::Status BufferedReader::read_line(std::string& out, std::size_t max_bytes,
                                                 Deadline deadline) {
  std::size_t taken = 0;
  for (;;) {
    if (begin_ == end_) {
      const Fill filled = fill(deadline);
      if (filled == Fill::End && taken > 0) return Status::Line;
      if (filled != Fill::Data) return status_of(filled);
    }
    const std::size_t room = max_bytes - taken;
    if (room == 0) return Status::TooLong;
    const char* start = buffer_.data() + begin_;
    const std::size_t scan = std::min(end_ - begin_, room);
    if (const void* lf = std::memchr(start, '\n', scan)) {
      const std::size_t n = static_cast<std::size_t>(static_cast<const char*>(lf) - start) + 1;
      out.append(start, n);
      begin_ += n;
      return Status::Line;
    }
    out.append(start, scan);
    begin_ += scan;
    taken += scan;
  }
}

BufferedReader::Status BufferedReader::skip(std::size_t count, Deadline deadline) {
  while (count > 0) {
    if (begin_ == end_) {
      const Fill filled = fill(deadline);
      if (filled != Fill::Data) return status_of(filled);
    }
    const std::size_t n = std::min(end_ - begin_, count);
    begin_ += n;
    count -= n;
  }
  return Status::Line;
}

// --------------------------------------------------------------- connection

void Connection::handle(Fd stream, const SocketAddress& peer, ControlContext context) {
  // The connection is reported only once it can be served, so that every
  // "client connected" has its "client disconnected".
  const int duplicate = ::fcntl(stream.get(), F_DUPFD_CLOEXEC, 0);
  if (duplicate < 0) {
    const int error = errno;
    RTSP_EVENT(log::Level::Warn, kTarget, "failed to duplicate connection descriptor",
               {"peer_addr", peer.to_string()}, {"error", os_error_text(error)});
    return;
  }
  RTSP_EVENT(log::Level::Info, kTarget, "client connected", {"peer_addr", peer.to_string()});
  watch_for_vanished_peer(stream.get(), context.config->timings);
  tune_send_side(stream.get(), context.config->limits);

  Connection connection(peer, Fd(duplicate), std::move(stream), context);
  connection.serve();
}

Connection::Connection(SocketAddress peer_addr, Fd reader, Fd writer, const ControlContext& context)
    : handler_(peer_addr, context.session_manager, context.mount_registry, context.config),
      peer_text_(peer_addr.to_string()),
      reader_(std::make_unique<BufferedReader>(std::move(reader))),
      writer_(std::move(writer)),
      context_(context),
      last_request_(Clock::now()) {}

Connection::~Connection() { end(kReasonShutdown); }

std::string_view Connection::serve() {
  const std::string_view reason = run();
  end(reason);
  return reason;
}

void Connection::end(std::string_view reason) {
  if (ended_) return;
  ended_ = true;
  const std::vector<std::string> ids = handler_.session_ids();
  if (!ids.empty()) {
    for (const std::string& id : ids) context_.mount_registry.unsubscribe_all(id);
    const std::size_t removed = context_.session_manager.remove_sessions(ids);
    RTSP_EVENT(log::Level::Info, kTarget, "cleaned up sessions on disconnect", {"peer", peer_text_},
               {"removed", removed});
  }
  RTSP_EVENT(log::Level::Info, kTarget, "client disconnected", {"peer_addr", peer_text_},
             {"reason", reason});
  reader_->close();
  writer_.reset();
}

Connection::HeadStatus Connection::read_head(std::string& head) {
  const ConnectionTimings& timings = context_.config->timings;
  context_.requests_awaited->fetch_add(1, std::memory_order_relaxed);
  // Until its first byte a head waits as long as the connection may idle
  // (for ever once it owns a session: many players send no keep-alive);
  // from its first byte, head and body have the head timeout.
  BufferedReader::Deadline idle_deadline;
  if (handler_.session_ids().empty()) idle_deadline = last_request_ + timings.idle_timeout;
  switch (reader_->wait_for_data(idle_deadline)) {
    case BufferedReader::Status::End:
      return HeadStatus::End;
    case BufferedReader::Status::TimedOut:
      return HeadStatus::IdleTimedOut;
    case BufferedReader::Status::Line:
      break;
    default:
      return HeadStatus::ReadError;
  }
  const Clock::time_point head_deadline = Clock::now() + timings.head_timeout;

  for (;;) {
    const std::size_t before = head.size();
    switch (reader_->read_line(head, kMaxRequestHeadBytes - before, head_deadline)) {
      case BufferedReader::Status::End:
        return HeadStatus::End;
      case BufferedReader::Status::Error:
        return HeadStatus::ReadError;
      case BufferedReader::Status::TooLong:
        return HeadStatus::TooLarge;
      case BufferedReader::Status::TimedOut:
        return HeadStatus::HeadTimedOut;
      case BufferedReader::Status::Line:
        break;
    }
    const std::string_view line = std::string_view(head).substr(before);
    if (!is_valid_utf8(line)) return HeadStatus::ReadError;
    if (line == "\n" || line == "\r\n") break;
  }
  last_request_ = Clock::now();

  const std::optional<std::size_t> body = declared_body_length(head);
  if (!body || *body == 0) return HeadStatus::Complete;
  if (*body > kMaxRequestBodyBytes) return HeadStatus::BodyTooLarge;
  switch (reader_->skip(*body, head_deadline)) {
    case BufferedReader::Status::Line:
      return HeadStatus::Complete;
    case BufferedReader::Status::End:
      return HeadStatus::End;
    case BufferedReader::Status::TimedOut:
      return HeadStatus::HeadTimedOut;
    default:
      return HeadStatus::ReadError;
  }
}

bool Connection::write_all(std::string_view bytes) {
  const auto timeout = context_.config->limits.control_send_timeout;
  // Asked only once output has waited: an answer that goes out at once costs
  // no extra system call.
  if (output_waiting_since_ && queued_output(writer_.get()) == 0) output_waiting_since_.reset();
  while (!bytes.empty()) {
    const ssize_t n =
        ::send(writer_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    // No room: the peer has until the send timeout, counted from when output
    // first waited for it, to take what is queued. Counting per wait instead
    // would let a peer that takes a few bytes now and then stall for ever.
    const auto now = Clock::now();
    if (!output_waiting_since_) output_waiting_since_ = now;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*output_waiting_since_ + timeout - now);
    if (left.count() <= 0) return false;
    pollfd ready{writer_.get(), POLLOUT, 0};
    if (::poll(&ready, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
  }
  return true;
}

std::string_view Connection::run() {
  while (context_.running->load(std::memory_order_relaxed)) {
    std::string head;
    switch (read_head(head)) {
      case HeadStatus::End:
        return kReasonClosed;
      case HeadStatus::ReadError:
        return kReasonReadError;
      case HeadStatus::TooLarge:
        RTSP_EVENT(log::Level::Warn, kTarget, "request head too large", {"peer", peer_text_},
                   {"limit", kMaxRequestHeadBytes});
        return kReasonHeadTooLarge;
      case HeadStatus::BodyTooLarge:
        RTSP_EVENT(log::Level::Warn, kTarget, "request body too large", {"peer", peer_text_},
                   {"limit", kMaxRequestBodyBytes});
        return kReasonBodyTooLarge;
      case HeadStatus::HeadTimedOut:
        RTSP_EVENT(log::Level::Warn, kTarget, "request head timed out", {"peer", peer_text_},
                   {"limit_ms", context_.config->timings.head_timeout.count()});
        return kReasonHeadTimedOut;
      case HeadStatus::IdleTimedOut:
        RTSP_EVENT(log::Level::Info, kTarget, "idle connection timed out", {"peer", peer_text_},
                   {"limit_ms", context_.config->timings.idle_timeout.count()});
        return kReasonIdleTimedOut;
      case HeadStatus::Complete:
        break;
    }
    // Stray line endings between requests.
    if (is_all_whitespace(head)) continue;

    const auto request = RtspRequest::parse(head);
    if (!request) {
      RTSP_EVENT(log::Level::Warn, kTarget, "parse error", {"peer", peer_text_},
                 {"error", request.error().message()});
      continue;
    }
    RTSP_EVENT(log::Level::Debug, kTarget, "request", {"peer", peer_text_},
               {"method", request->method}, {"uri", request->uri}, {"version", request->version});
    const RtspResponse response = handler_.handle(*request);
    RTSP_EVENT(log::Level::Debug, kTarget, "response", {"peer", peer_text_},
               {"status", response.status_code});
    if (!write_all(response.serialize())) {
      // Failed, or the peer stopped taking answers: what is queued is dropped.
      reset_on_close(writer_.get());
      return kReasonWriteError;
    }
  }
  return kReasonShutdown;
}

}  // namespace rtsp
