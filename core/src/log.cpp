// The facade's process-wide state: built alone as librtsp_log.
#include "log.hpp"

#include <mutex>
#include <utility>

namespace rtsp::log {

namespace detail {
std::atomic<int> g_min_level{kOff};
}  // namespace detail

namespace {

// Guards g_sink; held only to copy or replace the handle, never while writing.
std::mutex g_sink_mutex;
std::shared_ptr<Sink> g_sink;

}  // namespace

void set_sink(std::shared_ptr<Sink> sink) {
  std::lock_guard lock(g_sink_mutex);
  const int min = sink ? static_cast<int>(sink->min_level()) : detail::kOff;
  g_sink = std::move(sink);
  detail::g_min_level.store(min, std::memory_order_relaxed);
}

void emit(Level level, std::string_view target, std::string_view message,
          std::initializer_list<Field> fields) {
  if (!enabled(level)) return;
  std::shared_ptr<Sink> sink;
  {
    std::lock_guard lock(g_sink_mutex);
    sink = g_sink;
  }
  if (!sink || static_cast<int>(level) < static_cast<int>(sink->min_level())) return;
  sink->write(Event{level, target, message, std::span<const Field>(fields.begin(), fields.size())});
}

}  // namespace rtsp::log
