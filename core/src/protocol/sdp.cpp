#include "protocol/sdp.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "log.hpp"
#include "media/packetizer.hpp"
#include "mount.hpp"

namespace rtsp {

namespace {

constexpr std::string_view kCrLf = "\r\n";

std::string concat(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (std::string_view part : parts) size += part.size();
  std::string out;
  out.reserve(size);
  for (std::string_view part : parts) out.append(part);
  return out;
}

// `prefix`, then the lines joined with CR LF; no terminator after the last
// line, but room reserved for one.
std::string join_lines(std::string_view prefix, const std::vector<std::string>& lines) {
  std::size_t size = prefix.size();
  for (const std::string& line : lines) size += line.size() + kCrLf.size();
  std::string out;
  out.reserve(size);
  out.append(prefix);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i != 0) out.append(kCrLf);
    out.append(lines[i]);
  }
  return out;
}

// "IP6" for an IPv6 address (a zone after '%' aside), "IP4" for anything
// else: dotted quads and host names alike.
std::string_view address_type(std::string_view host) {
  const std::string address(host.substr(0, host.find('%')));
  in6_addr parsed;
  return ::inet_pton(AF_INET6, address.c_str(), &parsed) == 1 ? "IP6" : "IP4";
}

}  // namespace

std::string generate_sdp(Mount& mount, std::string_view host, std::string_view origin_session_id,
                         std::string_view origin_session_version, std::string_view origin_username,
                         std::string_view session_name) {
  std::vector<std::string> lines;
  lines.reserve(12);
  lines.emplace_back("v=0");
  const std::string_view addrtype = address_type(host);
  lines.push_back(concat({"o=", origin_username, " ", origin_session_id, " ",
                          origin_session_version, " IN ", addrtype, " ", host}));
  lines.push_back(concat({"s=", session_name}));
  lines.push_back(concat({"c=IN ", addrtype, " ", host}));
  lines.emplace_back("t=0 0");
  lines.emplace_back("a=tool:mirovid");
  lines.emplace_back("a=sendonly");

  // Two separate lock acquisitions: a frame packetized in between may change
  // the attribute lines, never the payload type.
  const std::uint8_t payload_type =
      mount.with_packetizer([](Packetizer& packetizer) { return packetizer.payload_type(); });
  lines.push_back("m=video 0 RTP/AVP " + std::to_string(payload_type));

  std::vector<std::string> attributes =
      mount.with_packetizer([](Packetizer& packetizer) { return packetizer.sdp_attributes(); });
  for (std::string& attribute : attributes) lines.push_back(std::move(attribute));

  RTSP_EVENT(log::Level::Debug, "rtsp::protocol::sdp", join_lines("SDP: ", lines));

  std::string sdp = join_lines({}, lines);
  sdp.append(kCrLf);
  return sdp;
}

}  // namespace rtsp
