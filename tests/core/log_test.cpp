#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "capture_sink.hpp"
#include "log.hpp"

// Counts every allocation in this executable, so the tests can show that a
// disabled event allocates nothing.
namespace {
std::atomic<std::size_t> g_allocations{0};
// Out of line so the compiler does not pair the inlined free() with the
// built-in operator new and warn about a mismatch.
[[gnu::noinline]] void release(void* p) noexcept { std::free(p); }
}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace rtsp {
namespace {

using log::Level;

int g_evaluations = 0;

// Builds a long text (so it must allocate) and counts how often it was asked for.
[[gnu::noinline]] std::string expensive_text() {
  ++g_evaluations;
  return std::string(200, 'x');
}

[[gnu::noinline]] std::uint64_t expensive_number() {
  ++g_evaluations;
  return 42;
}

// Emits one event whose message and fields all have to be computed.
void emit_expensive(Level level) {
  RTSP_EVENT(level, "rtsp::test", expensive_text(), {"text", expensive_text()},
             {"number", expensive_number()});
}

TEST(Log, LevelNames) {
  const std::pair<Level, std::string_view> cases[] = {
      {Level::Trace, "TRACE"}, {Level::Debug, "DEBUG"}, {Level::Info, "INFO"},
      {Level::Warn, "WARN"},   {Level::Error, "ERROR"},
  };
  for (const auto& [level, name] : cases) EXPECT_EQ(log::level_name(level), name);
}

// An event at `level` is not enabled, and emitting it evaluates and
// allocates nothing.
void expect_disabled_and_free(Level level) {
  EXPECT_FALSE(log::enabled(level));
  g_evaluations = 0;
  const std::size_t before = g_allocations.load();
  emit_expensive(level);
  EXPECT_EQ(g_allocations.load(), before) << log::level_name(level);
  EXPECT_EQ(g_evaluations, 0) << log::level_name(level);
}

TEST(Log, WithoutSinkNothingIsEnabledEvaluatedOrAllocated) {
  log::set_sink(nullptr);
  for (Level level : {Level::Trace, Level::Debug, Level::Info, Level::Warn, Level::Error}) {
    expect_disabled_and_free(level);
  }
  // A direct emit without sink is dropped too.
  log::emit(Level::Error, "rtsp::test", "dropped");
}

TEST(Log, EventsBelowTheSinkLevelAreNeitherEvaluatedNorAllocated) {
  test_support::ScopedCapture capture(Level::Warn);
  for (Level level : {Level::Trace, Level::Debug, Level::Info}) expect_disabled_and_free(level);
  EXPECT_TRUE(capture->events().empty());

  // The same event at an enabled level is computed once per argument, and the
  // counter does see its allocations.
  g_evaluations = 0;
  const std::size_t before = g_allocations.load();
  emit_expensive(Level::Warn);
  EXPECT_EQ(g_evaluations, 3);
  EXPECT_GT(g_allocations.load(), before);
  EXPECT_EQ(capture->events().size(), 1u);
}

TEST(Log, DirectEmitBelowTheSinkLevelIsDropped) {
  test_support::ScopedCapture capture(Level::Info);
  log::emit(Level::Debug, "rtsp::test", "too low");
  log::emit(Level::Info, "rtsp::test", "just right");
  const auto events = capture->events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, "just right");
}

TEST(Log, FieldsArriveWithNamesAndValues) {
  test_support::ScopedCapture capture;
  const std::string owned = "owned text";
  RTSP_EVENT(Level::Info, "rtsp::session", "session created", {"session_id", owned},
             {"literal", "abc"}, {"view", std::string_view("v")}, {"u8", std::uint8_t{255}},
             {"u16", std::uint16_t{65535}}, {"u64", std::uint64_t{0x100000001ULL}},
             {"size", std::size_t{7}});
  const auto events = capture->find("session created", "rtsp::session");
  ASSERT_EQ(events.size(), 1u);
  const auto& e = events[0];
  EXPECT_EQ(e.level, Level::Info);
  ASSERT_EQ(e.fields.size(), 7u);
  const char* names[] = {"session_id", "literal", "view", "u8", "u16", "u64", "size"};
  for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(e.fields[i].first, names[i]);
  EXPECT_EQ(e.field("session_id"), "owned text");
  EXPECT_EQ(e.field("literal"), "abc");
  EXPECT_EQ(e.field("view"), "v");
  EXPECT_EQ(e.number("u8"), 255u);
  EXPECT_EQ(e.number("u16"), 65535u);
  EXPECT_EQ(e.number("u64"), 0x100000001ULL);
  EXPECT_EQ(e.number("size"), 7u);
  EXPECT_EQ(e.number("literal"), std::nullopt);  // texts are not numbers
}

TEST(Log, RemovingOrReplacingTheSinkRedirectsEvents) {
  auto first = std::make_shared<test_support::CaptureSink>();
  auto second = std::make_shared<test_support::CaptureSink>(Level::Error);
  log::set_sink(first);
  log::emit(Level::Trace, "rtsp::test", "one");
  log::set_sink(second);
  EXPECT_FALSE(log::enabled(Level::Warn));
  log::emit(Level::Trace, "rtsp::test", "two");
  log::emit(Level::Error, "rtsp::test", "three");
  log::set_sink(nullptr);
  EXPECT_FALSE(log::enabled(Level::Error));
  log::emit(Level::Error, "rtsp::test", "four");

  ASSERT_EQ(first->events().size(), 1u);
  EXPECT_EQ(first->events()[0].message, "one");
  ASSERT_EQ(second->events().size(), 1u);
  EXPECT_EQ(second->events()[0].message, "three");
}

TEST(Log, ConcurrentEmittersAndSinkChanges) {
  auto sink = std::make_shared<test_support::CaptureSink>();
  std::atomic<bool> stop{false};
  std::vector<std::thread> emitters;
  for (int t = 0; t < 4; ++t) {
    emitters.emplace_back([&stop] {
      while (!stop.load()) RTSP_EVENT(Level::Info, "rtsp::test", "tick", {"n", 1});
    });
  }
  for (int i = 0; i < 200; ++i) {
    log::set_sink(i % 2 ? nullptr : sink);
    std::this_thread::yield();
  }
  stop = true;
  for (auto& t : emitters) t.join();
  log::set_sink(nullptr);
  for (const auto& e : sink->events()) EXPECT_EQ(e.message, "tick");
}

}  // namespace
}  // namespace rtsp
