// CaptureSink: a log sink for tests that records every event with owned
// copies of its texts, and finds events by target and message.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "log.hpp"

namespace rtsp::test_support {

struct CapturedEvent {
  log::Level level;
  std::string target;
  std::string message;
  // Field name -> value; numbers as uint64_t, texts as std::string.
  std::vector<std::pair<std::string, std::variant<std::uint64_t, std::string>>> fields;

  // The text of a field, or nullopt (numbers are rendered in decimal).
  std::optional<std::string> field(std::string_view name) const {
    for (const auto& [key, value] : fields) {
      if (key != name) continue;
      if (const auto* text = std::get_if<std::string>(&value)) return *text;
      return std::to_string(std::get<std::uint64_t>(value));
    }
    return std::nullopt;
  }
  std::optional<std::uint64_t> number(std::string_view name) const {
    for (const auto& [key, value] : fields) {
      if (key != name) continue;
      if (const auto* n = std::get_if<std::uint64_t>(&value)) return *n;
      return std::nullopt;
    }
    return std::nullopt;
  }
};

class CaptureSink : public log::Sink {
 public:
  explicit CaptureSink(log::Level min = log::Level::Trace) : min_(min) {}

  log::Level min_level() const noexcept override { return min_; }

  void write(const log::Event& event) override {
    CapturedEvent captured{event.level, std::string(event.target), std::string(event.message), {}};
    for (const auto& field : event.fields) {
      if (const auto* n = std::get_if<std::uint64_t>(&field.value)) {
        captured.fields.emplace_back(std::string(field.name), *n);
      } else {
        captured.fields.emplace_back(std::string(field.name),
                                     std::string(std::get<std::string_view>(field.value)));
      }
    }
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(captured));
  }

  std::vector<CapturedEvent> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

  // Events with this message (and target, when given), in emission order.
  std::vector<CapturedEvent> find(std::string_view message, std::string_view target = {}) const {
    std::vector<CapturedEvent> out;
    std::lock_guard lock(mutex_);
    for (const auto& e : events_) {
      if (e.message == message && (target.empty() || e.target == target)) out.push_back(e);
    }
    return out;
  }

  void clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }

 private:
  log::Level min_;
  // Guards events_.
  mutable std::mutex mutex_;
  std::vector<CapturedEvent> events_;
};

// Installs a fresh CaptureSink for the lifetime of the guard.
class ScopedCapture {
 public:
  explicit ScopedCapture(log::Level min = log::Level::Trace)
      : sink_(std::make_shared<CaptureSink>(min)) {
    log::set_sink(sink_);
  }
  ~ScopedCapture() { log::set_sink(nullptr); }
  ScopedCapture(const ScopedCapture&) = delete;
  ScopedCapture& operator=(const ScopedCapture&) = delete;

  CaptureSink& operator*() const { return *sink_; }
  CaptureSink* operator->() const { return sink_.get(); }

 private:
  std::shared_ptr<CaptureSink> sink_;
};

}  // namespace rtsp::test_support
