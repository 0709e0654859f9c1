// ServerConfig: the fixed settings of one server. Read-only after
// construction; shared with every connection through a shared_ptr to const.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace rtsp {

struct ServerConfig {
  std::string origin_username = "-";
  std::string origin_session_id = "0";
  std::string origin_session_version = "0";
  std::string session_name = "Stream";
  // When set, DESCRIBE announces this host instead of one derived from the request.
  std::optional<std::string> public_host;
  // Kept for the embedding program; nothing in the server reads it.
  std::optional<std::uint16_t> public_port;
};

}  // namespace rtsp
