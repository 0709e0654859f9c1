// Starving new threads: the address space is capped just above what the
// process maps now, so no further thread stack can be mapped. Meant for a
// scenario run in a process of its own.
#pragma once

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <expected>

namespace rtsp::test_support {

enum class CapFailure {
  Unreadable,  // the current mapped size could not be read
  Refused,     // the lowered limit was not accepted
};

// Lowers RLIMIT_AS to the current mappings plus half a default thread stack;
// gives the previous limit, for restoring with setrlimit.
inline std::expected<rlimit, CapFailure> cap_address_space_below_a_thread_stack() {
  pthread_attr_t attr;
  std::size_t stack_size = 0;
  pthread_attr_init(&attr);
  pthread_attr_getstacksize(&attr, &stack_size);
  pthread_attr_destroy(&attr);

  unsigned long pages = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr || std::fscanf(statm, "%lu", &pages) != 1) {
    return std::unexpected(CapFailure::Unreadable);
  }
  std::fclose(statm);
  rlimit original{};
  ::getrlimit(RLIMIT_AS, &original);
  rlimit lowered = original;
  lowered.rlim_cur = pages * static_cast<unsigned long>(::sysconf(_SC_PAGESIZE)) + stack_size / 2;
  if (::setrlimit(RLIMIT_AS, &lowered) != 0) return std::unexpected(CapFailure::Refused);
  return original;
}

}  // namespace rtsp::test_support
