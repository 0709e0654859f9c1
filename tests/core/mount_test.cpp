#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "capture_sink.hpp"
#include "fake_packetizer.hpp"
#include "mount.hpp"

namespace rtsp {
namespace {

using test_support::ScopedCapture;
using Ids = std::vector<std::string>;

constexpr std::string_view kTarget = "rtsp::mount";

std::unique_ptr<Packetizer> fake(std::uint16_t sequence = 0, std::uint32_t timestamp = 0,
                                 int* destroyed = nullptr) {
  test_support::FakePacketizerSettings settings;
  settings.sequence = sequence;
  settings.timestamp = timestamp;
  settings.destroyed = destroyed;
  return std::make_unique<test_support::FakePacketizer>(std::move(settings));
}

// --- mount path extraction ----------------------------------------------------

TEST(ExtractMountPathTest, Table) {
  struct Case {
    std::string_view uri;
    std::string_view path;
  };
  const Case cases[] = {
      {"rtsp://192.0.2.1:8554/stream", "/stream"},
      {"rtsp://192.0.2.1:8554/stream/track1", "/stream"},
      {"rtsps://192.0.2.1/live/cam1/track2", "/live/cam1"},
      {"rtsp://192.0.2.1/a/track1/b/track2", "/a/track1/b"},
      {"rtsp://192.0.2.1/cam/tracker", "/cam"},
      {"rtsp://192.0.2.1:8554", "/stream"},
      {"rtsp://192.0.2.1:8554/", "/"},
      {"rtsp://192.0.2.1:8554/stream/", "/stream/"},
      {"rtsp://192.0.2.1:8554/stream?x=1", "/stream?x=1"},
      {"rtsp://192.0.2.1/track1", ""},
      {"RTSP://192.0.2.1/live", "/stream"},
      {"/live/track1", "/live"},
      {"*", "/stream"},
      {"", "/stream"},
      // Beyond the usual shapes: only the text before the first '/' is skipped.
      {"rtsp://user:pw@192.0.2.1/live", "/live"},
      {"rtsp://", "/stream"},
      {"rtsps://", "/stream"},
      {"rtsp:/", "/stream"},
      {"rtsp:///x", "/x"},
      {"rtsp://h/%2Fstream#frag", "/%2Fstream#frag"},
      {"rtsp://h/a/track", "/a"},
      {"rtsp://h/a/Track1", "/a/Track1"},
      {"rtsp://h/a/trac", "/a/trac"},
      {"rtsp://h//track1", "/"},
      {"/", "/"},
      {"/track", ""},
      {"live/track1", "/stream"},
      {"http://h/live", "/stream"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.uri));
    EXPECT_EQ(extract_mount_path(c.uri), c.path);
  }
}

// --- subscribers ---------------------------------------------------------------

TEST(MountTest, SubscribeTwiceKeepsOneEntryAndOneEvent) {
  ScopedCapture capture;
  Mount mount("/stream", fake());
  mount.subscribe("A");
  mount.subscribe("A");
  mount.subscribe("a");  // ids are case-sensitive
  EXPECT_EQ(mount.subscribed_session_ids(), (Ids{"A", "a"}));

  const auto events = capture->find("session subscribed", kTarget);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].level, log::Level::Debug);
  EXPECT_EQ(events[0].field("mount"), "/stream");
  EXPECT_EQ(events[0].field("session_id"), "A");
  EXPECT_EQ(events[1].field("session_id"), "a");
}

TEST(MountTest, UnsubscribeMovesTheLastEntryIntoTheGap) {
  struct Case {
    const char* name;
    Ids before;
    std::string remove;
    Ids after;
  };
  const Case cases[] = {
      {"first of three", {"A", "B", "C"}, "A", {"C", "B"}},
      {"middle of four", {"A", "B", "C", "D"}, "B", {"A", "D", "C"}},
      {"last", {"A", "B", "C"}, "C", {"A", "B"}},
      {"only", {"A"}, "A", {}},
      {"unknown", {"A", "B"}, "Z", {"A", "B"}},
      {"prefix is not a match", {"AB"}, "A", {"AB"}},
      {"empty list", {}, "A", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Mount mount("/m", fake());
    for (const auto& id : c.before) mount.subscribe(id);
    ScopedCapture capture;
    mount.unsubscribe(c.remove);
    EXPECT_EQ(mount.subscribed_session_ids(), c.after);

    const auto events = capture->find("session unsubscribed", kTarget);
    if (c.before.size() == c.after.size()) {
      EXPECT_TRUE(events.empty());
    } else {
      ASSERT_EQ(events.size(), 1u);
      EXPECT_EQ(events[0].level, log::Level::Debug);
      EXPECT_EQ(events[0].field("mount"), "/m");
      EXPECT_EQ(events[0].field("session_id"), c.remove);
    }
  }
}

// The position index must follow every swap: checked against a plain list
// over a long mixed run.
TEST(MountTest, ManySubscribersMatchAPlainListAfterMixedChurn) {
  Mount mount("/m", fake());
  Ids model;
  std::uint32_t state = 12345;
  const auto next = [&] { return state = state * 1103515245u + 12345u; };
  for (int step = 0; step < 5000; ++step) {
    const std::string id = std::to_string(next() % 300);
    const auto it = std::find(model.begin(), model.end(), id);
    if (next() % 3 != 0) {
      mount.subscribe(id);
      if (it == model.end()) model.push_back(id);
    } else {
      mount.unsubscribe(id);
      if (it != model.end()) {
        *it = model.back();
        model.pop_back();
      }
    }
  }
  EXPECT_EQ(mount.subscribed_session_ids(), model);
}

TEST(MountTest, SubscriberListIsACopy) {
  Mount mount("/m", fake());
  mount.subscribe("A");
  auto copy = mount.subscribed_session_ids();
  mount.subscribe("B");
  mount.unsubscribe("A");
  EXPECT_EQ(copy, (Ids{"A"}));
  EXPECT_EQ(mount.subscribed_session_ids(), (Ids{"B"}));
}

TEST(MountTest, CountersComeFromThePacketizer) {
  Mount mount("/m", fake(65535, 0xFFFFFFF0u));
  EXPECT_EQ(mount.next_sequence(), 65535);
  EXPECT_EQ(mount.next_rtp_timestamp(), 0xFFFFFFF0u);
  const std::uint8_t frame[] = {0, 0, 0, 1, 0x65};
  mount.with_packetizer([&](Packetizer& p) { return p.packetize(frame, 3000); });
  EXPECT_EQ(mount.next_sequence(), 0);
  EXPECT_EQ(mount.next_rtp_timestamp(), 0xFFFFFFF0u + 3000u);
}

// --- registry ----------------------------------------------------------------------

TEST(MountRegistryTest, AddRegistersAndReplaces) {
  ScopedCapture capture;
  int old_destroyed = 0;
  MountRegistry registry;
  MountRegistry copy = registry;

  auto old_mount = registry.add("/stream", fake(1, 0, &old_destroyed));
  old_mount->subscribe("A");
  EXPECT_EQ(copy.get("/stream"), old_mount);

  auto new_mount = copy.add("/stream", fake(2));
  EXPECT_NE(new_mount, old_mount);
  EXPECT_EQ(registry.get("/stream"), new_mount);
  EXPECT_TRUE(registry.get("/stream")->subscribed_session_ids().empty());
  EXPECT_EQ(registry.get("/stream")->next_sequence(), 2);

  // The replaced mount lives on for its holders, then takes its packetizer along.
  EXPECT_EQ(old_mount->subscribed_session_ids(), (Ids{"A"}));
  EXPECT_EQ(old_destroyed, 0);
  old_mount.reset();
  EXPECT_EQ(old_destroyed, 1);

  const auto events = capture->find("mount registered", kTarget);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].level, log::Level::Info);
  EXPECT_EQ(events[0].field("path"), "/stream");
}

TEST(MountRegistryTest, GetIsExact) {
  MountRegistry registry;
  auto mount = registry.add("/Live", fake());
  EXPECT_EQ(registry.get("/Live"), mount);
  for (const std::string_view miss : {"/live", "/Live/", "Live", "", "/Live "}) {
    SCOPED_TRACE(std::string(miss));
    EXPECT_EQ(registry.get(miss), nullptr);
  }
}

TEST(MountRegistryTest, ResolveFromUri) {
  struct Case {
    const char* name;
    std::optional<std::string> default_path;
    std::string_view uri;
    const char* want;  // the mount's path, or nullptr for nothing
  };
  const Case cases[] = {
      {"registered path", std::nullopt, "rtsp://192.0.2.1:8554/live/track1", "/live"},
      {"unregistered without default", std::nullopt, "rtsp://192.0.2.1:8554/other", nullptr},
      {"unregistered with default", "/stream", "rtsp://192.0.2.1:8554/other", "/stream"},
      {"registered beats default", "/stream", "rtsp://h/live", "/live"},
      {"root falls back", "/stream", "rtsp://h/", "/stream"},
      {"empty path falls back", "/stream", "rtsp://h/track1", "/stream"},
      {"query falls back", "/stream", "rtsp://h/live?x=1", "/stream"},
      {"asterisk means /stream, not the default", "/live", "*", "/stream"},
      {"default names no mount", "/gone", "rtsp://h/other", nullptr},
      {"default names no mount, path registered", "/gone", "rtsp://h/live", "/live"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MountRegistry registry;
    registry.add("/stream", fake());
    registry.add("/live", fake());
    if (c.default_path) registry.set_default(*c.default_path);
    const auto mount = registry.resolve_from_uri(c.uri);
    if (c.want == nullptr) {
      EXPECT_EQ(mount, nullptr);
    } else {
      ASSERT_NE(mount, nullptr);
      EXPECT_EQ(mount->path(), c.want);
    }
  }
}

TEST(MountRegistryTest, DefaultMayBeSetBeforeItsMountAndReplaced) {
  MountRegistry registry;
  MountRegistry copy = registry;
  registry.set_default("/later");
  EXPECT_EQ(registry.resolve_from_uri("rtsp://h/x"), nullptr);
  auto later = copy.add("/later", fake());
  EXPECT_EQ(registry.resolve_from_uri("rtsp://h/x"), later);
  auto other = registry.add("/other", fake());
  copy.set_default("/other");
  EXPECT_EQ(registry.resolve_from_uri("rtsp://h/x"), other);
}

TEST(MountRegistryTest, UnsubscribeAllTouchesOnlyTheGivenId) {
  ScopedCapture capture;
  MountRegistry registry;
  auto a = registry.add("/a", fake());
  auto b = registry.add("/b", fake());
  auto c = registry.add("/c", fake());
  a->subscribe("S1");
  a->subscribe("S2");
  b->subscribe("S2");
  c->subscribe("S3");
  capture->clear();

  registry.unsubscribe_all("S2");
  EXPECT_EQ(a->subscribed_session_ids(), (Ids{"S1"}));
  EXPECT_TRUE(b->subscribed_session_ids().empty());
  EXPECT_EQ(c->subscribed_session_ids(), (Ids{"S3"}));
  EXPECT_EQ(capture->find("session unsubscribed", kTarget).size(), 2u);

  registry.unsubscribe_all("S2");
  registry.unsubscribe_all("nobody");
  EXPECT_EQ(capture->find("session unsubscribed", kTarget).size(), 2u);
}

}  // namespace
}  // namespace rtsp
