// RtspError: the single error type of the server core.
//
// A closed set of kinds, each with at most one payload and a fixed message
// (message()). Errors are plain values: fallible core operations return
// std::expected<T, RtspError>; nothing in the core throws.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rtsp {

// Which part of a request could not be read.
enum class ParseErrorKind : std::uint8_t {
  EmptyRequest,        // "empty request"
  InvalidRequestLine,  // "invalid request line"
  InvalidHeader,       // "invalid header"
};

std::string_view parse_error_text(ParseErrorKind kind) noexcept;

class RtspError {
 public:
  // In declaration order.
  enum class Kind : std::uint8_t {
    Io,
    InvalidBindAddress,
    SessionNotFound,
    TransportNotConfigured,
    SessionNotPlaying,
    ServerNotStarted,
    ServerAlreadyRunning,
    Parse,
    MountNotFound,
  };

  // An operating-system error, by its errno value.
  static RtspError io(int os_error);
  static RtspError invalid_bind_address(std::string detail);
  static RtspError session_not_found(std::string session_id);
  static RtspError transport_not_configured(std::string session_id);
  static RtspError session_not_playing(std::string session_id);
  static RtspError server_not_started();
  static RtspError server_already_running();
  static RtspError parse(ParseErrorKind kind);
  static RtspError mount_not_found(std::string path);

  Kind kind() const noexcept { return kind_; }
  // The text payload (bind-address detail, session id, mount path); empty for
  // the other kinds.
  const std::string& text() const noexcept { return text_; }
  // Meaningful for Kind::Io only.
  int os_error() const noexcept { return os_error_; }
  // Meaningful for Kind::Parse only.
  ParseErrorKind parse_kind() const noexcept { return parse_kind_; }

  // The display text, e.g. "session not found: 0000000000000003" or
  // "I/O error: Address already in use (os error 98)".
  std::string message() const;

  friend bool operator==(const RtspError&, const RtspError&) = default;

 private:
  explicit RtspError(Kind kind) : kind_(kind) {}

  Kind kind_;
  ParseErrorKind parse_kind_ = ParseErrorKind::EmptyRequest;
  int os_error_ = 0;
  std::string text_;
};

}  // namespace rtsp
