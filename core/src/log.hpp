// The diagnostic facade.
//
// Every event has a level, a target (the module path of its source, such as
// "rtsp::media::h264"), a message and named fields. Events go to one
// process-wide Sink; with no sink installed every event is discarded.
//
// Emit through RTSP_EVENT, which evaluates the message and the fields only
// when the level is enabled, so a disabled event costs one relaxed atomic load
// and no allocation:
//
//   RTSP_EVENT(log::Level::Debug, "rtsp::session", "session created",
//              {"session_id", id}, {"total_sessions", total});
//
// Thread-safe: any thread may emit while another installs or removes a sink.
//
// The sink and the enabled level live in one small shared library,
// librtsp_log (log.cpp), so that both extension modules see the same ones:
// `rtsp` emits through them and `rtsp_logging` installs the sink.
// RTSP_LOG_API marks what that library exports; all else is hidden.
#pragma once

#include <atomic>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#define RTSP_LOG_API __attribute__((visibility("default")))

namespace rtsp::log {

enum class Level : std::uint8_t { Trace, Debug, Info, Warn, Error };

constexpr std::string_view level_name(Level level) noexcept {
  switch (level) {
    case Level::Trace:
      return "TRACE";
    case Level::Debug:
      return "DEBUG";
    case Level::Info:
      return "INFO";
    case Level::Warn:
      return "WARN";
    case Level::Error:
      return "ERROR";
  }
  return "?";
}

// One named field. Values are unsigned integers or text; text is borrowed and
// only valid for the duration of the emit call.
struct Field {
  using Value = std::variant<std::uint64_t, std::string_view>;

  template <std::integral T>
  Field(std::string_view field_name, T number) noexcept
      : name(field_name), value(static_cast<std::uint64_t>(number)) {}
  Field(std::string_view field_name, std::string_view text) noexcept
      : name(field_name), value(text) {}
  Field(std::string_view field_name, const std::string& text) noexcept
      : name(field_name), value(std::string_view(text)) {}
  Field(std::string_view field_name, const char* text) noexcept
      : name(field_name), value(std::string_view(text)) {}

  std::string_view name;
  Value value;
};

struct Event {
  Level level;
  std::string_view target;
  std::string_view message;
  std::span<const Field> fields;
};

// Receives enabled events. write() may be called from any thread, concurrently.
class Sink {
 public:
  virtual ~Sink() = default;
  // The lowest level this sink wants; lower levels are never formatted.
  virtual Level min_level() const noexcept { return Level::Trace; }
  virtual void write(const Event& event) = 0;
};

// Installs `sink` for the whole process, replacing any earlier one; nullptr
// removes it. The previous sink may still receive events that were being
// emitted while it was replaced.
RTSP_LOG_API void set_sink(std::shared_ptr<Sink> sink);

namespace detail {
// The lowest enabled level, or kOff when no sink is installed.
inline constexpr int kOff = 255;
RTSP_LOG_API extern std::atomic<int> g_min_level;
}  // namespace detail

inline bool enabled(Level level) noexcept {
  return static_cast<int>(level) >= detail::g_min_level.load(std::memory_order_relaxed);
}

// Hands the event to the sink if one is installed and wants the level.
RTSP_LOG_API void emit(Level level, std::string_view target, std::string_view message,
                       std::initializer_list<Field> fields = {});

}  // namespace rtsp::log

#define RTSP_EVENT(level, target, message, ...)                       \
  do {                                                                \
    if (::rtsp::log::enabled(level)) {                                \
      ::rtsp::log::emit((level), (target), (message), {__VA_ARGS__}); \
    }                                                                 \
  } while (0)
