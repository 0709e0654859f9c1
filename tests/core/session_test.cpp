#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "capture_sink.hpp"
#include "repeat_limit.hpp"
#include "session/session.hpp"
#include "session/session_manager.hpp"

namespace rtsp {
namespace {

using test_support::ScopedCapture;

constexpr std::string_view kTarget = "rtsp::session";
constexpr std::string_view kUri = "rtsp://192.0.2.1:8554/stream/track1";

using Ports = std::pair<std::uint16_t, std::uint16_t>;

SessionTransport transport_to(std::string_view addr, std::uint16_t server_rtp) {
  SessionTransport t;
  t.client_addr = SocketAddress::parse(addr).value();
  t.client_rtp_port = t.client_addr.port();
  t.client_rtcp_port = static_cast<std::uint16_t>(t.client_rtp_port + 1);
  t.server_rtp_port = server_rtp;
  t.server_rtcp_port = static_cast<std::uint16_t>(server_rtp + 1);
  return t;
}

// --- identifiers ---------------------------------------------------------

bool is_session_id(std::string_view id) {
  return id.size() == 16 && std::ranges::all_of(id, [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
         });
}

// Ids are drawn at random, so a client cannot guess the id of another's
// session from its own; two managers never hand out the same id either.
TEST(SessionIdTest, IdsAreUnpredictableAndUnique) {
  SessionManager first;
  SessionManager second;
  std::set<std::uint64_t> seen;
  std::uint64_t previous = 0;
  std::size_t successors = 0;
  for (int i = 0; i < 2000; ++i) {
    auto session = (i % 2 == 0 ? first : second).create_session(std::string(kUri));
    ASSERT_TRUE(is_session_id(session->id())) << session->id();
    const std::uint64_t value = std::stoull(session->id(), nullptr, 16);
    EXPECT_TRUE(seen.insert(value).second) << session->id();
    if (value == previous + 1) ++successors;
    previous = value;
  }
  EXPECT_EQ(successors, 0u);
  EXPECT_EQ(first.session_count() + second.session_count(), 2000u);

  // A standalone session is not registered anywhere.
  Session standalone{std::string(kUri)};
  EXPECT_TRUE(is_session_id(standalone.id()));
  EXPECT_EQ(first.get_session(standalone.id()), nullptr);
}

TEST(SessionIdTest, NewSessionStartsReadyWithoutTransport) {
  Session session{std::string(kUri)};
  EXPECT_EQ(session.uri(), kUri);
  EXPECT_EQ(session.state(), SessionState::Ready);
  EXPECT_FALSE(session.transport().has_value());
  EXPECT_EQ(session.timeout(), 60u);
}

// --- lookups and removal ---------------------------------------------------

TEST(SessionManagerTest, IdsAreMatchedExactly) {
  SessionManager manager;
  auto session = manager.create_session(std::string(kUri));
  while (std::ranges::none_of(session->id(), [](char c) { return c >= 'A'; })) {
    session = manager.create_session(std::string(kUri));  // one with a letter to fold
  }
  std::string lower = session->id();
  std::ranges::transform(lower, lower.begin(), [](char c) { return c >= 'A' ? c + 32 : c; });
  const std::vector<std::string> misses = {
      lower, session->id() + " ", " " + session->id(), session->id().substr(1), session->id() + "0",
      "",
  };
  for (const auto& miss : misses) {
    SCOPED_TRACE("[" + miss + "]");
    EXPECT_EQ(manager.get_session(miss), nullptr);
    EXPECT_EQ(manager.remove_session(miss), nullptr);
  }
  EXPECT_EQ(manager.get_session(session->id()), session);
  EXPECT_EQ(manager.session_count(), 1u);
}

TEST(SessionManagerTest, CopiesShareSessions) {
  SessionManager manager;
  SessionManager copy = manager;
  auto session = copy.create_session(std::string(kUri));
  EXPECT_EQ(manager.get_session(session->id()), session);
  EXPECT_EQ(manager.remove_session(session->id()), session);
  EXPECT_EQ(copy.session_count(), 0u);
}

TEST(SessionManagerTest, HandleOutlivesRemoval) {
  SessionManager manager;
  auto created = manager.create_session(std::string(kUri));
  const std::string id = created->id();
  created.reset();

  auto held = manager.get_session(id);
  ASSERT_NE(held, nullptr);
  auto removed = manager.remove_session(id);
  EXPECT_EQ(removed, held);
  removed.reset();

  // Still usable, but no longer registered or listed as playing.
  held->set_state(SessionState::Playing);
  held->set_transport(transport_to("192.0.2.7:5000", 6000));
  EXPECT_EQ(held->id(), id);
  EXPECT_EQ(held->state(), SessionState::Playing);
  EXPECT_EQ(manager.get_session(id), nullptr);
  EXPECT_TRUE(manager.get_playing_sessions().empty());
  EXPECT_EQ(manager.remove_session(id), nullptr);
}

TEST(SessionManagerTest, CreateAndRemoveEmitEvents) {
  ScopedCapture capture;
  SessionManager manager;
  auto a = manager.create_session("rtsp://h/a");
  auto b = manager.create_session("rtsp://h/b");
  manager.remove_session(a->id());
  manager.remove_session(a->id());  // already gone: silent
  manager.remove_session("nope");   // never there: silent

  const auto created = capture->find("session created", kTarget);
  ASSERT_EQ(created.size(), 2u);
  EXPECT_EQ(created[0].level, log::Level::Debug);
  EXPECT_EQ(created[0].field("session_id"), a->id());
  EXPECT_EQ(created[0].field("uri"), "rtsp://h/a");
  EXPECT_EQ(created[0].number("total_sessions"), 1u);
  EXPECT_EQ(created[1].field("session_id"), b->id());
  EXPECT_EQ(created[1].number("total_sessions"), 2u);

  const auto removed = capture->find("session removed", kTarget);
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0].level, log::Level::Debug);
  EXPECT_EQ(removed[0].field("session_id"), a->id());
  EXPECT_EQ(removed[0].number("total_sessions"), 1u);
}

TEST(SessionManagerTest, RemoveSessionsCountsEachPresentIdOnce) {
  struct Case {
    const char* name;
    std::vector<int> ids;  // indexes into three live sessions; -1 is unknown
    std::size_t removed;
  };
  const Case cases[] = {
      {"empty list", {}, 0},    {"unknown only", {-1, -1}, 0}, {"one", {1}, 1},
      {"duplicate", {0, 0}, 1}, {"mixed", {2, -1, 0, 2}, 2},   {"all", {0, 1, 2}, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedCapture capture;
    SessionManager manager;
    std::vector<std::shared_ptr<Session>> sessions;
    for (int i = 0; i < 3; ++i) sessions.push_back(manager.create_session(std::string(kUri)));
    std::vector<std::string> ids;
    for (int index : c.ids) ids.push_back(index < 0 ? "FFFFFFFFFFFFFFFF" : sessions[index]->id());

    EXPECT_EQ(manager.remove_sessions(ids), c.removed);
    EXPECT_EQ(manager.session_count(), 3 - c.removed);
    for (int index : c.ids) {
      if (index >= 0) {
        EXPECT_EQ(manager.get_session(sessions[index]->id()), nullptr);
      }
    }

    const auto events = capture->find("batch session cleanup", kTarget);
    if (c.removed == 0) {
      EXPECT_TRUE(events.empty());
    } else {
      ASSERT_EQ(events.size(), 1u);
      EXPECT_EQ(events[0].level, log::Level::Debug);
      EXPECT_EQ(events[0].number("removed"), c.removed);
      EXPECT_EQ(events[0].number("remaining"), 3 - c.removed);
    }
    EXPECT_TRUE(capture->find("session removed", kTarget).empty());
  }
}

TEST(SessionManagerTest, PlayingSessionsAreListed) {
  SessionManager manager;
  auto ready = manager.create_session(std::string(kUri));
  auto paused = manager.create_session(std::string(kUri));
  paused->set_state(SessionState::Paused);
  EXPECT_TRUE(manager.get_playing_sessions().empty());

  auto playing = manager.create_session(std::string(kUri));
  auto resumed = manager.create_session(std::string(kUri));
  playing->set_state(SessionState::Playing);
  resumed->set_state(SessionState::Playing);
  resumed->set_state(SessionState::Paused);
  resumed->set_state(SessionState::Playing);

  auto listed = manager.get_playing_sessions();
  std::vector<std::string> ids;
  for (const auto& s : listed) ids.push_back(s->id());
  std::ranges::sort(ids);
  std::vector<std::string> want = {playing->id(), resumed->id()};
  std::ranges::sort(want);
  EXPECT_EQ(ids, want);

  playing->set_state(SessionState::Ready);
  listed = manager.get_playing_sessions();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0], resumed);
}

// --- session state and transport --------------------------------------------

TEST(SessionTest, SetStateReportsOldAndNewState) {
  const SessionState steps[] = {SessionState::Playing, SessionState::Playing, SessionState::Paused,
                                SessionState::Ready};
  const char* const want[][2] = {
      {"Ready", "Playing"}, {"Playing", "Playing"}, {"Playing", "Paused"}, {"Paused", "Ready"}};

  ScopedCapture capture;
  Session session{std::string(kUri)};
  for (const auto step : steps) session.set_state(step);

  const auto events = capture->find("state transition", kTarget);
  ASSERT_EQ(events.size(), std::size(steps));
  for (std::size_t i = 0; i < events.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(events[i].level, log::Level::Debug);
    EXPECT_EQ(events[i].field("session_id"), session.id());
    EXPECT_EQ(events[i].field("old_state"), want[i][0]);
    EXPECT_EQ(events[i].field("new_state"), want[i][1]);
  }
  EXPECT_EQ(session.state(), SessionState::Ready);
}

TEST(SessionTest, SetStateStoresWhenEventIsDisabled) {
  ScopedCapture capture(log::Level::Info);
  Session session{std::string(kUri)};
  session.set_state(SessionState::Paused);
  EXPECT_EQ(session.state(), SessionState::Paused);
  EXPECT_TRUE(capture->events().empty());
}

TEST(SessionTest, SecondTransportReplacesFirst) {
  ScopedCapture capture;
  Session session{std::string(kUri)};
  session.set_transport(transport_to("192.0.2.7:5000", 6000));
  session.set_transport(transport_to("[2001:db8::1]:7000", 6002));

  const auto stored = session.transport();
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->client_addr.to_string(), "[2001:db8::1]:7000");
  EXPECT_EQ(stored->client_rtp_port, 7000);
  EXPECT_EQ(stored->client_rtcp_port, 7001);
  EXPECT_EQ(stored->server_rtp_port, 6002);
  EXPECT_EQ(stored->server_rtcp_port, 6003);

  const auto events = capture->find("transport configured", kTarget);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].level, log::Level::Debug);
  EXPECT_EQ(events[0].field("session_id"), session.id());
  EXPECT_EQ(events[0].field("client_addr"), "192.0.2.7:5000");
  EXPECT_EQ(events[1].field("client_addr"), "[2001:db8::1]:7000");
}

// A warning that could repeat goes out for the first occurrence, then for the
// first one a full interval after the last warning, with every occurrence
// counted in exactly one warning.
TEST(RepeatLimitTest, WarnsFirstThenOncePerIntervalCountingEverything) {
  using namespace std::chrono_literals;
  struct Step {
    std::chrono::milliseconds at;
    std::uint64_t count;
    std::optional<std::uint64_t> warned;
  };
  const Step steps[] = {
      {0ms, 1, 1},
      {0ms, 3, std::nullopt},
      {999ms, 1, std::nullopt},
      {1000ms, 2, 6},
      {1500ms, 1, std::nullopt},
      {2999ms, 4, 5},
      {3001ms, 1, std::nullopt},
  };
  const RepeatLimit::Clock::time_point start{1h};
  RepeatLimit limit;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.at.count());
    EXPECT_EQ(limit.note(start + step.at, 1s, step.count), step.warned);
  }
  EXPECT_EQ(limit.take_unreported(), 1u);
  EXPECT_EQ(limit.take_unreported(), 0u);
}

// --- server ports --------------------------------------------------------------

TEST(ServerPortTest, FirstAllocationIsTracedAndCopiesShareTheCounter) {
  ScopedCapture capture;
  SessionManager manager;
  SessionManager copy = manager;
  EXPECT_EQ(manager.allocate_server_ports(), Ports(5000, 5001));
  EXPECT_EQ(copy.allocate_server_ports(), Ports(5002, 5003));
  EXPECT_EQ(SessionManager{}.allocate_server_ports(), Ports(5000, 5001));

  const auto traced = capture->find("allocated server ports", kTarget);
  ASSERT_EQ(traced.size(), 3u);
  EXPECT_EQ(traced[0].level, log::Level::Trace);
  EXPECT_EQ(traced[0].number("rtp_port"), 5000u);
  EXPECT_EQ(traced[0].number("rtcp_port"), 5001u);
  EXPECT_EQ(traced[1].number("rtp_port"), 5002u);
  EXPECT_EQ(traced[1].number("rtcp_port"), 5003u);
}

TEST(ServerPortTest, WrapsAfterTheLastPairWithOneWarning) {
  SessionManager manager;
  std::pair<std::uint16_t, std::uint16_t> pair;
  for (int i = 1; i <= 30267; ++i) {
    pair = manager.allocate_server_ports();
    ASSERT_EQ(pair.first % 2, 0);
    ASSERT_EQ(pair.second, pair.first + 1);
  }
  EXPECT_EQ(pair.first, 65532);

  ScopedCapture capture;
  EXPECT_EQ(manager.allocate_server_ports(), Ports(65534, 65535));
  EXPECT_TRUE(capture->find("port range exhausted, wrapping to 5000").empty());
  EXPECT_EQ(manager.allocate_server_ports(), Ports(5000, 5001));
  EXPECT_EQ(manager.allocate_server_ports(), Ports(5002, 5003));

  const auto warned = capture->find("port range exhausted, wrapping to 5000", kTarget);
  ASSERT_EQ(warned.size(), 1u);
  EXPECT_EQ(warned[0].level, log::Level::Warn);
  EXPECT_EQ(warned[0].number("rtp"), 65536u);
  // The wrapping call is not traced; its neighbours are.
  const auto traced = capture->find("allocated server ports", kTarget);
  ASSERT_EQ(traced.size(), 2u);
  EXPECT_EQ(traced[0].number("rtp_port"), 65534u);
  EXPECT_EQ(traced[1].number("rtp_port"), 5002u);
}

}  // namespace
}  // namespace rtsp
