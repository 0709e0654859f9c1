// The random source against the published ChaCha20 block-function vectors
// (RFC 8439, appendix A.1, vectors 1 and 2: the all-zero key and nonce, block
// counters 0 and 1), as the words random_u32 hands out.
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>

#include "media/random.hpp"

namespace {

thread_local bool t_zero_key = false;

}  // namespace

// The generator draws its key from getrandom(2). Defined in the test program,
// this definition takes the place of the C library's: an all-zero key for a
// thread that asks for one, real randomness for every other caller.
extern "C" ssize_t getrandom(void* buffer, std::size_t length, unsigned int flags) {
  if (t_zero_key) {
    std::memset(buffer, 0, length);
    return static_cast<ssize_t>(length);
  }
  return ::syscall(SYS_getrandom, buffer, length, flags);
}

namespace rtsp {
namespace {

TEST(Random, KeystreamMatchesTheChaCha20BlockFunctionVectors) {
  // The serialized blocks, read as little-endian words.
  constexpr std::array<std::uint32_t, 32> kExpected = {
      // Block counter 0.
      0xade0b876,
      0x903df1a0,
      0xe56a5d40,
      0x28bd8653,
      0xb819d2bd,
      0x1aed8da0,
      0xccef36a8,
      0xc70d778b,
      0x7c5941da,
      0x8d485751,
      0x3fe02477,
      0x374ad8b8,
      0xf4b8436a,
      0x1ca11815,
      0x69b687c3,
      0x8665eeb2,
      // Block counter 1.
      0xbee7079f,
      0x7a385155,
      0x7c97ba98,
      0x0d082d73,
      0xa0290fcb,
      0x6965e348,
      0x3e53c612,
      0xed7aee32,
      0x7621b729,
      0x434ee69c,
      0xb03371d5,
      0xd539d874,
      0x281fed31,
      0x45fb0a51,
      0x1f0ae1ac,
      0x6f4d794b,
  };
  std::array<std::uint32_t, 32> got{};
  // A thread of its own, so that its generator is keyed afresh, here.
  std::thread([&got] {
    t_zero_key = true;
    for (std::uint32_t& word : got) word = random_u32();
  }).join();
  EXPECT_EQ(got, kExpected);
}

}  // namespace
}  // namespace rtsp
