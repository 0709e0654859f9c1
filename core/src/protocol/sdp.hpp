// generate_sdp: the SDP session description that DESCRIBE returns for a mount.
#pragma once

#include <string>
#include <string_view>

namespace rtsp {

class Mount;

// The complete description, every line (the last included) ended by CR LF.
// The origin and connection lines say IN IP6 when `host` is an IPv6 address
// and IN IP4 otherwise (an IPv4 address or a host name).
// Takes the mount's packetizer lock twice (payload type, then the attribute
// lines), never both at once. Emits DEBUG "SDP: ..." on "rtsp::protocol::sdp".
std::string generate_sdp(Mount& mount, std::string_view host, std::string_view origin_session_id,
                         std::string_view origin_session_version, std::string_view origin_username,
                         std::string_view session_name);

}  // namespace rtsp
