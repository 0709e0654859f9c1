// Threads hammering the session manager and the mount registry at once. Each
// run is bounded in iterations; the interesting verdict comes from running it
// under ThreadSanitizer, the invariants at the end catch lost updates.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fake_packetizer.hpp"
#include "log.hpp"
#include "mount.hpp"
#include "session/session_manager.hpp"

namespace rtsp {
namespace {

constexpr int kWriters = 4;
constexpr int kReaders = 3;
constexpr int kIterations = 400;

// Counts a few events; cheap enough not to serialise the threads.
class CountingSink : public log::Sink {
 public:
  void write(const log::Event& event) override {
    if (event.message == "session created") {
      ++created;
    } else if (event.message == "session removed") {
      ++removed_single;
    } else if (event.message == "batch session cleanup") {
      for (const auto& f : event.fields) {
        if (f.name == "removed") removed_batch += std::get<std::uint64_t>(f.value);
      }
    } else if (event.message == "port range exhausted, wrapping to 5000") {
      ++wraps;
    }
  }
  std::atomic<std::uint64_t> created{0};
  std::atomic<std::uint64_t> removed_single{0};
  std::atomic<std::uint64_t> removed_batch{0};
  std::atomic<std::uint64_t> wraps{0};
};

class SinkGuard {
 public:
  SinkGuard() : sink_(std::make_shared<CountingSink>()) { log::set_sink(sink_); }
  ~SinkGuard() { log::set_sink(nullptr); }
  SinkGuard(const SinkGuard&) = delete;
  SinkGuard& operator=(const SinkGuard&) = delete;
  CountingSink* operator->() const { return sink_.get(); }

 private:
  std::shared_ptr<CountingSink> sink_;
};

bool has_duplicates(std::vector<std::string> ids) {
  std::ranges::sort(ids);
  return std::ranges::adjacent_find(ids) != ids.end();
}

// What one writer leaves behind.
struct WriterResult {
  std::vector<std::string> created;
  std::vector<std::string> kept;          // still registered and subscribed
  std::vector<std::string> kept_playing;  // subset of kept left in Playing
  int removed = 0;
  bool bad_ports = false;
};

TEST(ConcurrencyTest, RegistriesStayConsistentUnderLoad) {
  SinkGuard sink;
  SessionManager manager;
  MountRegistry registry;
  registry.add("/stream", std::make_unique<test_support::FakePacketizer>());
  registry.add("/other", std::make_unique<test_support::FakePacketizer>());
  registry.set_default("/stream");

  std::atomic<int> writers_left{kWriters};
  std::atomic<bool> reader_saw_duplicate{false};
  std::array<WriterResult, kWriters> results;

  auto writer = [&](int index) {
    WriterResult& out = results[index];
    SessionManager handle = manager;  // connections hold copies
    MountRegistry mounts = registry;
    std::vector<std::shared_ptr<Session>> batch;
    for (int i = 0; i < kIterations; ++i) {
      const char* uri = (i % 3 == 0) ? "rtsp://h/other/track1" : "rtsp://h/anything";
      auto session = handle.create_session(uri);
      out.created.push_back(session->id());
      const auto [rtp, rtcp] = handle.allocate_server_ports();
      if (rtp % 2 != 0 || rtcp != rtp + 1 || rtp < 5000) out.bad_ports = true;

      SessionTransport transport;
      transport.client_addr = SocketAddress::parse("127.0.0.1:9000").value();
      transport.server_rtp_port = rtp;
      transport.server_rtcp_port = rtcp;
      session->set_transport(transport);

      auto mount = mounts.resolve_from_uri(session->uri());
      mount->subscribe(session->id());
      mount->subscribe(session->id());  // a repeat must not duplicate
      session->set_state(SessionState::Playing);
      mount->next_sequence();
      session->set_state(SessionState::Paused);
      session->set_state(SessionState::Playing);

      switch (i % 4) {
        case 0:  // TEARDOWN
          mounts.unsubscribe_all(session->id());
          if (handle.remove_session(session->id()) != nullptr) ++out.removed;
          break;
        case 1:  // end of a connection: removed in a batch later
          batch.push_back(session);
          break;
        case 2:  // stays registered, paused
          session->set_state(SessionState::Paused);
          out.kept.push_back(session->id());
          break;
        default:  // stays registered, playing
          out.kept.push_back(session->id());
          out.kept_playing.push_back(session->id());
          break;
      }
      if (batch.size() == 5 || (i == kIterations - 1 && !batch.empty())) {
        std::vector<std::string> ids;
        for (const auto& s : batch) {
          ids.push_back(s->id());
          ids.push_back(s->id());  // listed twice, removed once
          mounts.unsubscribe_all(s->id());
        }
        ids.push_back("0000000000000000-unknown");
        out.removed += static_cast<int>(handle.remove_sessions(ids));
        batch.clear();
      }
    }
    --writers_left;
  };

  auto reader = [&] {
    const std::uint8_t frame[] = {0, 0, 0, 1, 0x65, 0x88};
    while (writers_left.load() > 0) {
      for (const auto& session : manager.get_playing_sessions()) {
        (void)session->state();
        const auto transport = session->transport();
        if (transport) (void)transport->server_rtp_port;
      }
      for (const char* path : {"/stream", "/other"}) {
        auto mount = registry.get(path);
        if (has_duplicates(mount->subscribed_session_ids())) reader_saw_duplicate = true;
        mount->with_packetizer([&](Packetizer& p) { return p.packetize(frame, 3000); });
        (void)mount->next_rtp_timestamp();
      }
      (void)manager.session_count();
      (void)registry.resolve_from_uri("rtsp://h/nowhere");
    }
  };

  std::vector<std::thread> threads;
  for (int i = 0; i < kWriters; ++i) threads.emplace_back(writer, i);
  for (int i = 0; i < kReaders; ++i) threads.emplace_back(reader);
  for (auto& t : threads) t.join();

  EXPECT_FALSE(reader_saw_duplicate.load());

  std::vector<std::string> created;
  std::vector<std::string> kept;
  std::vector<std::string> kept_playing;
  int removed = 0;
  for (const auto& r : results) {
    EXPECT_FALSE(r.bad_ports);
    created.insert(created.end(), r.created.begin(), r.created.end());
    kept.insert(kept.end(), r.kept.begin(), r.kept.end());
    kept_playing.insert(kept_playing.end(), r.kept_playing.begin(), r.kept_playing.end());
    removed += r.removed;
  }
  ASSERT_EQ(created.size(), std::size_t{kWriters} * kIterations);
  EXPECT_FALSE(has_duplicates(created));
  EXPECT_EQ(static_cast<std::size_t>(removed) + kept.size(), created.size());

  // The registry holds exactly what the writers left behind.
  EXPECT_EQ(manager.session_count(), kept.size());
  for (const auto& id : kept) EXPECT_NE(manager.get_session(id), nullptr) << id;
  std::vector<std::string> playing;
  for (const auto& s : manager.get_playing_sessions()) playing.push_back(s->id());
  std::ranges::sort(playing);
  std::ranges::sort(kept_playing);
  EXPECT_EQ(playing, kept_playing);

  // Every kept session is subscribed exactly once, every removed one nowhere.
  std::vector<std::string> subscribed;
  for (const char* path : {"/stream", "/other"}) {
    const auto ids = registry.get(path)->subscribed_session_ids();
    EXPECT_FALSE(has_duplicates(ids)) << path;
    subscribed.insert(subscribed.end(), ids.begin(), ids.end());
  }
  std::ranges::sort(subscribed);
  std::ranges::sort(kept);
  EXPECT_EQ(subscribed, kept);

  EXPECT_EQ(sink->created.load(), created.size());
  EXPECT_EQ(sink->removed_single.load() + sink->removed_batch.load(),
            static_cast<std::uint64_t>(removed));
}

TEST(ConcurrencyTest, ConcurrentSubscribersOfOneIdLeaveOneEntry) {
  Mount mount("/stream", std::make_unique<test_support::FakePacketizer>());
  constexpr int kThreads = 4;
  const std::array<std::string, 3> ids = {"A", "B", "C"};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        const auto& id = ids[static_cast<std::size_t>(i + t) % ids.size()];
        mount.subscribe(id);
        if (i % 3 == 0) mount.unsubscribe(id);
        (void)mount.subscribed_session_ids();
      }
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& id : ids) mount.subscribe(id);
  auto after = mount.subscribed_session_ids();
  std::ranges::sort(after);
  EXPECT_EQ(after, (std::vector<std::string>{"A", "B", "C"}));
}

TEST(ConcurrencyTest, PortsStayInRangeAcrossTheWrap) {
  SinkGuard sink;
  SessionManager manager;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 10000;  // 40000 in all: more than one full range
  std::atomic<bool> bad{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      SessionManager handle = manager;
      for (int i = 0; i < kPerThread; ++i) {
        const auto [rtp, rtcp] = handle.allocate_server_ports();
        if (rtp < 5000 || rtp % 2 != 0 || rtcp != rtp + 1) bad = true;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(bad.load());
  EXPECT_GE(sink->wraps.load(), 1u);
}

}  // namespace
}  // namespace rtsp
