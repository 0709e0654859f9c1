// A ChaCha20 keystream per thread, keyed from getrandom(2). The key is drawn
// again after fork(), so a child process never repeats its parent's values.
#include "media/random.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace rtsp {

namespace {

constexpr std::uint32_t rotl(std::uint32_t v, int c) noexcept { return (v << c) | (v >> (32 - c)); }

constexpr void quarter_round(std::array<std::uint32_t, 16>& x, int a, int b, int c,
                             int d) noexcept {
  x[a] += x[b];
  x[d] = rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = rotl(x[b] ^ x[c], 7);
}

// Calls `read_some(at, count)` until `size` bytes are in `out` or it fails
// (anything but an interruption); returns how many bytes it got.
template <class ReadSome>
std::size_t read_fully(unsigned char* out, std::size_t size, ReadSome read_some) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = read_some(out + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return done;
}

// Fills `out` with operating-system randomness; the process cannot go on
// without it, so a failure of both sources ends it.
void os_random(void* out, std::size_t size) {
  auto* p = static_cast<unsigned char*>(out);
  if (read_fully(p, size, [](unsigned char* at, std::size_t n) { return getrandom(at, n, 0); }) ==
      size) {
    return;
  }
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  const std::size_t done =
      fd < 0
          ? 0
          : read_fully(p, size, [fd](unsigned char* at, std::size_t n) { return read(fd, at, n); });
  if (fd >= 0) close(fd);
  if (done == size) return;

  std::fputs("rtsp: no operating-system random source available\n", stderr);
  std::abort();
}

class ChaCha20 {
 public:
  std::uint32_t next() {
    if (owner_ != getpid()) reseed();
    if (used_ == block_.size()) refill();
    return block_[used_++];
  }

 private:
  void reseed() {
    std::array<std::uint32_t, 8> key{};
    os_random(key.data(), sizeof key);
    // "expand 32-byte k"
    state_[0] = 0x61707865;
    state_[1] = 0x3320646e;
    state_[2] = 0x79622d32;
    state_[3] = 0x6b206574;
    for (std::size_t i = 0; i < key.size(); ++i) state_[4 + i] = key[i];
    // 64-bit block counter in words 12-13, zero nonce in 14-15.
    for (std::size_t i = 12; i < 16; ++i) state_[i] = 0;
    std::memset(key.data(), 0, sizeof key);
    owner_ = getpid();
    used_ = block_.size();
  }

  void refill() {
    std::array<std::uint32_t, 16> x = state_;
    for (int round = 0; round < 10; ++round) {
      quarter_round(x, 0, 4, 8, 12);
      quarter_round(x, 1, 5, 9, 13);
      quarter_round(x, 2, 6, 10, 14);
      quarter_round(x, 3, 7, 11, 15);
      quarter_round(x, 0, 5, 10, 15);
      quarter_round(x, 1, 6, 11, 12);
      quarter_round(x, 2, 7, 8, 13);
      quarter_round(x, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < 16; ++i) block_[i] = x[i] + state_[i];
    if (++state_[12] == 0) ++state_[13];
    used_ = 0;
  }

  std::array<std::uint32_t, 16> state_{};
  std::array<std::uint32_t, 16> block_{};
  std::size_t used_ = 16;
  pid_t owner_ = 0;  // the process that drew the key; 0 = not keyed yet
};

thread_local ChaCha20 t_generator;

}  // namespace

std::uint32_t random_u32() { return t_generator.next(); }

}  // namespace rtsp
