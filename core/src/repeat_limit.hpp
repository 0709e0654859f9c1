// RepeatLimit: lets a warning that could repeat without end (a viewer whose
// every datagram is refused, a program that keeps sending the wrong input)
// through at most once per interval, and counts the occurrences in between
// so that the next warning can say how many there were.
//
// Lock-free: any thread may note occurrences while another takes the rest.
// Costs nothing until the first occurrence.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>

namespace rtsp {

class RepeatLimit {
 public:
  using Clock = std::chrono::steady_clock;

  // Counts `count` occurrences at `now`. When a warning is due (the first
  // occurrence, then the first one at least `interval` after the last
  // warning) returns the occurrences since that warning, these included, and
  // starts a new interval; nullopt otherwise.
  std::optional<std::uint64_t> note(Clock::time_point now, Clock::duration interval,
                                    std::uint64_t count = 1) noexcept {
    unreported_.fetch_add(count, std::memory_order_relaxed);
    Clock::rep due = due_.load(std::memory_order_relaxed);
    const Clock::rep at = now.time_since_epoch().count();
    if (at < due) return std::nullopt;
    // Of threads that find the warning due at once, one wins the interval.
    if (!due_.compare_exchange_strong(due, at + interval.count(), std::memory_order_relaxed)) {
      return std::nullopt;
    }
    return unreported_.exchange(0, std::memory_order_relaxed);
  }

  // The occurrences no warning has reported yet; they count as reported now.
  std::uint64_t take_unreported() noexcept {
    return unreported_.exchange(0, std::memory_order_relaxed);
  }

 private:
  std::atomic<std::uint64_t> unreported_{0};
  // When the next warning may go out, in Clock ticks.
  std::atomic<Clock::rep> due_{std::numeric_limits<Clock::rep>::min()};
};

}  // namespace rtsp
