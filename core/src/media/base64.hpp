// Base64 (RFC 4648, standard alphabet, '=' padding).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace rtsp {

std::string base64_encode(std::span<const std::uint8_t> data);

}  // namespace rtsp
