// Viewer: one playing client as Server::get_viewers lists it; owns copies.
#pragma once

#include <cstdint>
#include <string>

namespace rtsp {

struct Viewer {
  std::string session_id;
  std::string uri;
  std::string client_addr;  // "192.0.2.7:5000" / "[2001:db8::1]:5000"
  std::uint16_t client_rtp_port = 0;
};

}  // namespace rtsp
