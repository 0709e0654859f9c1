#include "error.hpp"

#include <cstring>
#include <utility>

namespace rtsp {

std::string_view parse_error_text(ParseErrorKind kind) noexcept {
  switch (kind) {
    case ParseErrorKind::EmptyRequest:
      return "empty request";
    case ParseErrorKind::InvalidRequestLine:
      return "invalid request line";
    case ParseErrorKind::InvalidHeader:
      return "invalid header";
  }
  return "unknown";
}

RtspError RtspError::io(int os_error) {
  RtspError e(Kind::Io);
  e.os_error_ = os_error;
  return e;
}

RtspError RtspError::invalid_bind_address(std::string detail) {
  RtspError e(Kind::InvalidBindAddress);
  e.text_ = std::move(detail);
  return e;
}

RtspError RtspError::session_not_found(std::string session_id) {
  RtspError e(Kind::SessionNotFound);
  e.text_ = std::move(session_id);
  return e;
}

RtspError RtspError::transport_not_configured(std::string session_id) {
  RtspError e(Kind::TransportNotConfigured);
  e.text_ = std::move(session_id);
  return e;
}

RtspError RtspError::session_not_playing(std::string session_id) {
  RtspError e(Kind::SessionNotPlaying);
  e.text_ = std::move(session_id);
  return e;
}

RtspError RtspError::server_not_started() { return RtspError(Kind::ServerNotStarted); }

RtspError RtspError::server_already_running() { return RtspError(Kind::ServerAlreadyRunning); }

RtspError RtspError::parse(ParseErrorKind kind) {
  RtspError e(Kind::Parse);
  e.parse_kind_ = kind;
  return e;
}

RtspError RtspError::mount_not_found(std::string path) {
  RtspError e(Kind::MountNotFound);
  e.text_ = std::move(path);
  return e;
}

std::string RtspError::message() const {
  switch (kind_) {
    case Kind::Io: {
      char buf[256];
      // GNU strerror_r: returns a pointer to the text, which may or may not be buf.
      const char* description = strerror_r(os_error_, buf, sizeof buf);
      std::string out = "I/O error: ";
      out += description;
      out += " (os error ";
      out += std::to_string(os_error_);
      out += ')';
      return out;
    }
    case Kind::InvalidBindAddress:
      return "invalid bind address: " + text_;
    case Kind::SessionNotFound:
      return "session not found: " + text_;
    case Kind::TransportNotConfigured:
      return "transport not configured for session: " + text_;
    case Kind::SessionNotPlaying:
      return "session not in playing state: " + text_;
    case Kind::ServerNotStarted:
      return "server not started";
    case Kind::ServerAlreadyRunning:
      return "server already running";
    case Kind::Parse:
      return "RTSP parse error: " + std::string(parse_error_text(parse_kind_));
    case Kind::MountNotFound:
      return "mount not found: " + text_;
  }
  return "unknown error";
}

}  // namespace rtsp
