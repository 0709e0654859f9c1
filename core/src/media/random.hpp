// The process's random source: a cryptographically strong generator seeded
// from the operating system, one per thread.
#pragma once

#include <cstdint>

namespace rtsp {

std::uint32_t random_u32();

}  // namespace rtsp
