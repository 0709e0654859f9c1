// The control transport over real loopback sockets: a listener made here is
// handed to spawn_accept_loop, and plain sockets play the clients.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "address_space_cap.hpp"
#include "capture_sink.hpp"
#include "media/h264.hpp"
#include "socket_address.hpp"
#include "support.hpp"
#include "transport/connection_slots.hpp"
#include "transport/tcp.hpp"

namespace rtsp {
namespace {

using namespace std::chrono_literals;
using namespace test_support;

constexpr std::string_view kTcp = "rtsp::transport::tcp";

std::string options(std::string_view cseq, std::string_view eol = "\r\n") {
  std::string out = "OPTIONS rtsp://127.0.0.1/stream RTSP/1.0";
  out += eol;
  out += "CSeq: ";
  out += cseq;
  out += eol;
  out += eol;
  return out;
}

// A server-side control transport on 127.0.0.1 with its own registries.
class ControlTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    test_support::add_stream_mount(context_.mount_registry);
    context_.config = std::make_shared<const ServerConfig>(config());
    context_.running = std::make_shared<std::atomic<bool>>(true);

    auto listener = test_support::listen_on_loopback(SOCK_NONBLOCK);
    ASSERT_TRUE(listener.has_value());
    address_ = listener->address;
    ASSERT_TRUE(spawn_accept_loop(std::move(listener->socket), context_).has_value());
  }

  void TearDown() override { context_.running->store(false); }

  virtual ServerConfig config() const { return {}; }

  // This connection's events on the transport target, in emission order.
  std::vector<CapturedEvent> events_of(const Client& client) const {
    return events_of_peer(client.local());
  }

  std::vector<CapturedEvent> events_of_peer(std::string_view peer) const {
    std::vector<CapturedEvent> out;
    for (auto& event : capture_->events()) {
      if (event.target != kTcp) continue;
      if (event.field("peer") == peer || event.field("peer_addr") == peer) out.push_back(event);
    }
    return out;
  }

  std::vector<CapturedEvent> events_of(const Client& client, std::string_view message) const {
    std::vector<CapturedEvent> out;
    for (auto& event : events_of(client)) {
      if (event.message == message) out.push_back(event);
    }
    return out;
  }

  // The disconnect reason, once the connection has ended.
  std::optional<std::string> disconnect_reason(const Client& client) const {
    std::optional<std::string> reason;
    eventually([&] {
      const auto done = events_of(client, "client disconnected");
      if (!done.empty()) reason = done.front().field("reason");
      return reason.has_value();
    });
    return reason;
  }

  ScopedCapture capture_;
  ControlContext context_;
  SocketAddress address_;
};

TEST_F(ControlTransport, OptionsIsAnsweredOnceWithEventsInOrder) {
  Client client(address_);
  ASSERT_TRUE(client.connected());
  client.send(options("1"));

  EXPECT_EQ(client.read_response(),
            "RTSP/1.0 200 OK\r\nServer: mirovid/0.1\r\nCSeq: 1\r\n"
            "Public: OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN, GET_PARAMETER\r\n\r\n");
  EXPECT_TRUE(client.silent_for(100ms));

  const auto events = events_of(client);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].message, "client connected");
  EXPECT_EQ(events[0].level, log::Level::Info);
  EXPECT_EQ(events[1].message, "request");
  EXPECT_EQ(events[1].field("method"), "OPTIONS");
  EXPECT_EQ(events[1].field("uri"), "rtsp://127.0.0.1/stream");
  EXPECT_EQ(events[1].field("version"), "RTSP/1.0");
  EXPECT_EQ(events[2].message, "response");
  EXPECT_EQ(events[2].number("status"), 200u);

  client.close();
  EXPECT_EQ(disconnect_reason(client), "connection closed by client");
  EXPECT_TRUE(events_of(client, "cleaned up sessions on disconnect").empty());
}

struct FramingCase {
  const char* name;
  std::vector<std::string> writes;  // sent one after the other, 20 ms apart
  std::vector<std::string> answered_cseqs;
  std::size_t parse_errors;
};

std::string many_options(int count) {
  std::string out;
  for (int i = 1; i <= count; ++i) out += options(std::to_string(i));
  return out;
}

std::vector<std::string> numbers(int count) {
  std::vector<std::string> out;
  for (int i = 1; i <= count; ++i) out.push_back(std::to_string(i));
  return out;
}

TEST_F(ControlTransport, RequestHeadsAreFramedByTheirEmptyLine) {
  const std::string body = options("2");
  const FramingCase cases[] = {
      {"two requests in one write", {options("1") + options("2")}, {"1", "2"}, 0},
      {"bare line feeds", {options("3", "\n")}, {"3"}, 0},
      {"lone CRLF between requests", {options("1") + "\r\n" + options("2")}, {"1", "2"}, 0},
      {"lone LF and CRLFs before a request", {"\n\r\n\r\n", options("4")}, {"4"}, 0},
      {"head split across writes", {"OPT", "IONS * RTSP/1.0\r\nCSeq: 9\r", "\n", "\r\n"}, {"9"}, 0},
      {"garbage then a valid request", {"hello there\r\n\r\n" + options("5")}, {"5"}, 1},
      // The body looks like a request (CSeq 2) but is dropped unread.
      {"declared body dropped before the next head",
       {"GET_PARAMETER rtsp://127.0.0.1/stream RTSP/1.0\r\nCSeq: 1\r\ncontent-length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body + options("3") + options("4")},
       {"1", "3", "4"},
       0},
      // A byte too few or too many dropped turns the next request line into
      // "cOPTIONS" or "PTIONS": a blank line would hide it, so these bodies
      // do not end in a line feed.
      {"body without a final line feed",
       {"GET_PARAMETER * RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 3\r\n\r\nabc" + options("2")},
       {"1", "2"},
       0},
      {"body ending in a bare CR",
       {"GET_PARAMETER * RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 3\r\n\r\nab\r" + options("2")},
       {"1", "2"},
       0},
      {"body split across writes",
       {"GET_PARAMETER * RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 4\r\n\r\nab", "cd" + options("5")},
       {"1", "5"},
       0},
      {"only the first Content-Length counts, and only when decimal",
       {"OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nContent-Length: +4\r\nContent-Length: 4\r\n\r\n" +
        options("2")},
       {"1", "2"},
       0},
      {"an unparsable head's body is dropped too",
       {"hello there\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body +
        options("6")},
       {"6"},
       1},
      {"pipelined past the read buffer", {many_options(300)}, numbers(300), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Client client(address_);
    ASSERT_TRUE(client.connected());
    for (const auto& write : c.writes) {
      client.send(write);
      std::this_thread::sleep_for(20ms);
    }
    for (const auto& cseq : c.answered_cseqs) {
      const auto response = client.read_response();
      ASSERT_TRUE(response.has_value()) << "no answer for CSeq " << cseq;
      EXPECT_TRUE(response->starts_with("RTSP/1.0 200 OK\r\n")) << *response;
      EXPECT_EQ(header_value(*response, "CSeq"), cseq);
    }
    EXPECT_TRUE(client.silent_for(100ms));
    EXPECT_EQ(events_of(client, "request").size(), c.answered_cseqs.size());
    const auto errors = events_of(client, "parse error");
    ASSERT_EQ(errors.size(), c.parse_errors);
    for (const auto& error : errors) {
      EXPECT_EQ(error.level, log::Level::Warn);
      EXPECT_EQ(error.field("error"), "RTSP parse error: invalid request line");
    }
  }
}

TEST_F(ControlTransport, LineOfSpacesDoesNotEndTheHead) {
  Client client(address_);
  ASSERT_TRUE(client.connected());
  client.send("OPTIONS * RTSP/1.0\r\nCSeq: 7\r\n \r\n");
  EXPECT_TRUE(client.silent_for(150ms));
  EXPECT_TRUE(events_of(client, "request").empty());
  EXPECT_TRUE(events_of(client, "parse error").empty());

  // Only now is the head complete; it reaches the parser as one piece.
  client.send("\r\n");
  EXPECT_TRUE(eventually([&] {
    return events_of(client, "request").size() + events_of(client, "parse error").size() == 1;
  }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(events_of(client, "request").size() + events_of(client, "parse error").size(), 1u);
}

struct EndingCase {
  const char* name;
  std::string bytes;
  bool close_write;  // the client half-closes after sending
  const char* reason;
};

TEST_F(ControlTransport, ConnectionEndsWithItsReason) {
  const EndingCase cases[] = {
      {"invalid UTF-8 in a header", "OPTIONS * RTSP/1.0\r\nX-Name: \xff\xfe\r\nCSeq: 1\r\n\r\n",
       false, "read error"},
      {"invalid UTF-8 in the request line", "OPT\xc3(NS * RTSP/1.0\r\n\r\n", false, "read error"},
      {"invalid UTF-8 in a last unfinished line", "OPTIONS * RTSP/1.0\r\nX: \xe2\x82", true,
       "read error"},
      {"closed after a header line", "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n", true,
       "connection closed by client"},
      {"closed in the middle of a line", "OPTIONS * RTS", true, "connection closed by client"},
      {"closed before any byte", "", true, "connection closed by client"},
      {"closed inside a declared body",
       "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 10\r\n\r\nabc", true,
       "connection closed by client"},
      {"body beyond the limit", "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 65537\r\n\r\n",
       false, "request body too large"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Client client(address_);
    ASSERT_TRUE(client.connected());
    client.send(c.bytes);
    if (c.close_write) client.shutdown_write();
    EXPECT_TRUE(client.closed_without_answer());
    EXPECT_EQ(disconnect_reason(client), c.reason);
    EXPECT_TRUE(events_of(client, "request").empty());
  }
}

TEST_F(ControlTransport, ClosingRemovesTheSessionsSetUpOnTheConnection) {
  Client client(address_);
  ASSERT_TRUE(client.connected());
  std::vector<std::string> ids;
  for (int i = 0; i < 2; ++i) {
    client.send(setup(std::to_string(i + 1), 6000 + 2 * i));
    const auto response = client.read_response();
    ASSERT_TRUE(response.has_value());
    ASSERT_TRUE(response->starts_with("RTSP/1.0 200 OK\r\n")) << *response;
    const std::string session = header_value(*response, "Session");
    ids.push_back(session.substr(0, session.find(';')));
  }
  const auto mount = context_.mount_registry.get("/stream");
  EXPECT_EQ(context_.session_manager.session_count(), 2u);
  EXPECT_EQ(mount->subscribed_session_ids().size(), 2u);

  client.close();
  EXPECT_EQ(disconnect_reason(client), "connection closed by client");
  const auto events = events_of(client);
  ASSERT_GE(events.size(), 2u);
  const auto& cleaned = events[events.size() - 2];
  EXPECT_EQ(cleaned.message, "cleaned up sessions on disconnect");
  EXPECT_EQ(cleaned.level, log::Level::Info);
  EXPECT_EQ(cleaned.number("removed"), 2u);
  EXPECT_EQ(events.back().message, "client disconnected");

  EXPECT_EQ(context_.session_manager.session_count(), 0u);
  for (const auto& id : ids) EXPECT_EQ(context_.session_manager.get_session(id), nullptr);
  EXPECT_TRUE(mount->subscribed_session_ids().empty());
}

TEST_F(ControlTransport, TornDownSessionLeavesNothingToCleanUp) {
  // A session set up by another connection must survive this one's end.
  Client other(address_);
  other.send(setup("1", 6100));
  ASSERT_TRUE(other.read_response().has_value());

  Client client(address_);
  ASSERT_TRUE(client.connected());
  client.send(setup("1", 6000));
  const auto response = client.read_response();
  ASSERT_TRUE(response.has_value());
  std::string id = header_value(*response, "Session");
  id = id.substr(0, id.find(';'));
  client.send("TEARDOWN rtsp://127.0.0.1/stream RTSP/1.0\r\nCSeq: 2\r\nSession: " + id +
              "\r\n\r\n");
  const auto teardown = client.read_response();
  ASSERT_TRUE(teardown.has_value());
  EXPECT_TRUE(teardown->starts_with("RTSP/1.0 200 OK\r\n")) << *teardown;

  client.close();
  EXPECT_EQ(disconnect_reason(client), "connection closed by client");
  EXPECT_TRUE(events_of(client, "cleaned up sessions on disconnect").empty());
  EXPECT_EQ(context_.session_manager.session_count(), 1u);
}

std::string options_padded_to(std::size_t total) {
  const std::string head = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nX-Pad: ";
  const std::string tail = "\r\n\r\n";
  return head + std::string(total - head.size() - tail.size(), 'a') + tail;
}

std::string many_header_lines(std::size_t at_least) {
  std::string out = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n";
  while (out.size() < at_least) out += "X-Filler: 0123456789\r\n";
  return out + "\r\n";
}

TEST_F(ControlTransport, RequestHeadIsBounded) {
  struct BoundCase {
    const char* name;
    std::string bytes;
    bool answered;
  };
  const BoundCase cases[] = {
      {"head of exactly the limit", options_padded_to(kMaxRequestHeadBytes), true},
      {"head one byte over the limit", options_padded_to(kMaxRequestHeadBytes + 1), false},
      {"many header lines past the limit", many_header_lines(kMaxRequestHeadBytes), false},
      // No line feed ever comes: the server must not wait for one.
      {"one endless line", std::string(kMaxRequestHeadBytes + 4096, 'x'), false},
      {"endless blank-looking line", std::string(kMaxRequestHeadBytes + 1, ' '), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Client bystander(address_);
    ASSERT_TRUE(bystander.connected());
    Client client(address_);
    ASSERT_TRUE(client.connected());
    client.send(c.bytes);

    if (c.answered) {
      const auto response = client.read_response();
      ASSERT_TRUE(response.has_value());
      EXPECT_TRUE(response->starts_with("RTSP/1.0 200 OK\r\n"));
      EXPECT_TRUE(events_of(client, "request head too large").empty());
    } else {
      EXPECT_TRUE(client.closed_without_answer());
      EXPECT_EQ(disconnect_reason(client), "request head too large");
      const auto warned = events_of(client, "request head too large");
      ASSERT_EQ(warned.size(), 1u);
      EXPECT_EQ(warned[0].level, log::Level::Warn);
      EXPECT_EQ(warned[0].number("limit"), kMaxRequestHeadBytes);
      EXPECT_TRUE(events_of(client, "request").empty());
      EXPECT_TRUE(events_of(client, "parse error").empty());
    }

    bystander.send(options("42"));
    const auto answer = bystander.read_response();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(header_value(*answer, "CSeq"), "42");
  }
}

TEST_F(ControlTransport, HeadTooLargeStillCleansUpSessions) {
  Client client(address_);
  ASSERT_TRUE(client.connected());
  client.send(setup("1", 6200));
  ASSERT_TRUE(client.read_response().has_value());
  ASSERT_EQ(context_.session_manager.session_count(), 1u);

  client.send(std::string(kMaxRequestHeadBytes + 1, 'x'));
  EXPECT_EQ(disconnect_reason(client), "request head too large");
  const auto cleaned = events_of(client, "cleaned up sessions on disconnect");
  ASSERT_EQ(cleaned.size(), 1u);
  EXPECT_EQ(cleaned[0].number("removed"), 1u);
  EXPECT_EQ(context_.session_manager.session_count(), 0u);
}

// The lowest descriptor number the next open() would get.
int next_free_descriptor() {
  const int fd = ::dup(0);
  ::close(fd);
  return fd;
}

// The same transport with the silence limits shortened.
class ControlTransportTimeouts : public ControlTransport {
 protected:
  static constexpr auto kHead = 300ms;
  static constexpr auto kIdle = 400ms;
  ServerConfig config() const override {
    ServerConfig config;
    config.timings.head_timeout = kHead;
    config.timings.idle_timeout = kIdle;
    return config;
  }
};

TEST_F(ControlTransportTimeouts, SilentAndSlowClientsAreCutOff) {
  Client half(address_);
  Client silent(address_);
  ASSERT_TRUE(half.connected() && silent.connected());
  half.send("OPTIONS rtsp://127.0.0.1/stream RTSP/1.0\r\nCSeq: 1\r\n");

  const struct {
    Client& client;
    const char* reason;
    log::Level level;
    std::uint64_t limit_ms;
  } cut_off[] = {{half, "request head timed out", log::Level::Warn, 300},
                 {silent, "idle connection timed out", log::Level::Info, 400}};
  for (const auto& c : cut_off) {
    SCOPED_TRACE(c.reason);
    EXPECT_TRUE(c.client.closed_without_answer(5000ms));
    EXPECT_EQ(disconnect_reason(c.client), c.reason);
    const auto events = events_of(c.client, c.reason);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].level, c.level);
    EXPECT_EQ(events[0].number("limit_ms"), c.limit_ms);
  }
}

TEST_F(ControlTransportTimeouts, LiveClientsAndSessionOwnersAreNeverCutOff) {
  Client owner(address_);
  Client live(address_);
  ASSERT_TRUE(owner.connected() && live.connected());
  owner.send(setup("1"));
  const auto set_up = owner.read_response();
  ASSERT_TRUE(set_up && set_up->starts_with("RTSP/1.0 200 OK\r\n"));

  // Requests, each sent slowly but within the limits, for several idle
  // periods; the session owner meanwhile says nothing at all.
  const auto until = std::chrono::steady_clock::now() + 3 * kIdle;
  for (int cseq = 1; std::chrono::steady_clock::now() < until; ++cseq) {
    const std::string request = options(std::to_string(cseq));
    live.send(request.substr(0, 10));
    std::this_thread::sleep_for(kHead / 3);
    live.send(request.substr(10));
    const auto answer = live.read_response();
    ASSERT_TRUE(answer.has_value()) << "request " << cseq;
    EXPECT_EQ(header_value(*answer, "CSeq"), std::to_string(cseq));
  }
  owner.send(options("2"));
  const auto answer = owner.read_response();
  ASSERT_TRUE(answer.has_value()) << "the silent session owner was cut off";
  EXPECT_EQ(header_value(*answer, "CSeq"), "2");
  EXPECT_TRUE(events_of(owner, "client disconnected").empty());
  EXPECT_TRUE(events_of(live, "client disconnected").empty());
}

// The same transport with connection limits low enough to reach.
class ControlTransportLimits : public ControlTransport {
 protected:
  ServerConfig config() const override {
    ServerConfig config;
    config.limits.connections = 3;
    config.limits.connections_per_address = 2;
    config.limits.control_send_buffer_bytes = 4096;
    config.limits.control_send_timeout = 300ms;
    return config;
  }

  // Whether a new client from `source` is served.
  bool served(std::string_view source) {
    Client client(address_, source);
    client.send(options("1"));
    return client.read_response(1000ms).has_value();
  }

  std::vector<CapturedEvent> refusals() const {
    return capture_->find("connection refused: limit reached", kTcp);
  }
};

TEST_F(ControlTransportLimits, NoAddressTakesEverySlotAndSlotsComeBack) {
  std::vector<std::unique_ptr<Client>> held;
  for (auto source : {"127.0.0.1", "127.0.0.1"}) {
    held.push_back(std::make_unique<Client>(address_, source));
    held.back()->send(options("1"));
    ASSERT_TRUE(held.back()->read_response().has_value());
  }
  // The first address has its share: refused at once, while another
  // address is still served, up to the server-wide limit.
  Client refused(address_, "127.0.0.1");
  EXPECT_TRUE(refused.closed_without_answer(1000ms));
  held.push_back(std::make_unique<Client>(address_, "127.0.0.2"));
  held.back()->send(options("1"));
  ASSERT_TRUE(held.back()->read_response().has_value());
  Client full(address_, "127.0.0.3");
  EXPECT_TRUE(full.closed_without_answer(1000ms));

  // Refusals in quick succession are reported once, counted.
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(served("127.0.0.3"));
  const auto reported = refusals();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].level, log::Level::Warn);
  EXPECT_EQ(reported[0].field("limit"), "connections_per_address");
  EXPECT_EQ(reported[0].number("max"), 2u);
  EXPECT_EQ(reported[0].number("refused"), 1u);
  std::this_thread::sleep_for(1100ms);
  EXPECT_FALSE(served("127.0.0.3"));
  ASSERT_EQ(refusals().size(), 2u);
  EXPECT_EQ(refusals()[1].field("limit"), "connections");
  EXPECT_EQ(refusals()[1].number("refused"), 7u);

  // A closed connection gives its slot back.
  held.front()->close();
  EXPECT_TRUE(eventually([&] { return served("127.0.0.1"); }));
}

TEST(ConnectionLimits, DerivedFromTheSoftDescriptorLimitUnlessGiven) {
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
  if (original.rlim_max < 1024) GTEST_SKIP() << "hard descriptor limit below 1024";
  rlimit lowered = original;
  lowered.rlim_cur = 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  const ConnectionSlots derived = ConnectionSlots::for_limits(ServerLimits{});
  ServerLimits limits;
  limits.connections = 10;
  const ConnectionSlots given = ConnectionSlots::for_limits(limits);
  ::setrlimit(RLIMIT_NOFILE, &original);

  EXPECT_EQ(derived.total_limit(), 480u);
  EXPECT_EQ(derived.per_address_limit(), 240u);
  EXPECT_EQ(given.total_limit(), 10u);
  EXPECT_EQ(given.per_address_limit(), 5u);
}

TEST_F(ControlTransportLimits, ClientThatNeverReadsIsEndedForWriteError) {
  Client client(address_);
  // Pipelined requests whose answers this client never reads, until the
  // server gives up on it (its sends then fail, and this one returns).
  const timeval bound{5, 0};
  ::setsockopt(client.fd(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  const int small = 4096;
  ::setsockopt(client.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const auto began = std::chrono::steady_clock::now();
  std::string burst;
  for (int i = 0; i < 2000; ++i) burst += options(std::to_string(i));
  for (int round = 0; round < 20 && events_of(client, "client disconnected").empty(); ++round) {
    client.send(burst);
  }
  EXPECT_EQ(disconnect_reason(client), "write error");
  EXPECT_LT(std::chrono::steady_clock::now() - began, 4s);
}

// The sockets this process holds: earlier tests' listeners and connection
// threads close theirs a little after those tests end.
std::size_t open_sockets() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const auto target = std::filesystem::read_symlink(entry.path(), error);
    if (!error && target.string().starts_with("socket:")) ++count;
  }
  return count;
}

TEST_F(ControlTransport, AcceptErrorsPauseAndTheListenerRecovers) {
  // Only this test's listening socket is left, so no descriptor can be freed
  // while the limit is down and let an accept through.
  ASSERT_TRUE(eventually([] { return open_sockets() == 1; }, 5000ms));
  // The client's socket exists before the limit drops; it connects after,
  // so the listener cannot have taken it already.
  Fd pending(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(pending);
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
  rlimit lowered = original;
  lowered.rlim_cur = static_cast<rlim_t>(next_free_descriptor());
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);

  // Every accept now fails with EMFILE while the connection stays pending.
  const bool connected = ::connect(pending.get(), address_.sockaddr_ptr(), address_.length()) == 0;
  std::this_thread::sleep_for(400ms);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);

  ASSERT_TRUE(connected);
  const auto errors = capture_->find("TCP accept error", kTcp);
  ASSERT_FALSE(errors.empty());
  // One attempt per 50 ms pause, not a busy loop.
  EXPECT_LE(errors.size(), 12u);
  EXPECT_EQ(errors[0].level, log::Level::Warn);
  EXPECT_EQ(errors[0].field("error"), "Too many open files (os error 24)");

  // The listener goes on.
  Client later(address_);
  ASSERT_TRUE(later.connected());
  later.send(options("3"));
  const auto response = later.read_response();
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(header_value(*response, "CSeq"), "3");
}

TEST_F(ControlTransport, ConnectionThatCannotStartIsNotReportedConnected) {
  ASSERT_TRUE(eventually([] { return open_sockets() == 1; }, 5000ms));
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  Fd client(pair[0]);
  const auto peer = SocketAddress::parse("192.0.2.7:4000");
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
  rlimit lowered = original;
  lowered.rlim_cur = static_cast<rlim_t>(next_free_descriptor());
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  // No descriptor is left for the connection's second handle.
  Connection::handle(Fd(pair[1]), *peer, context_);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &original), 0);

  // Neither "client connected" nor, so, a disconnect to balance it.
  const auto events = events_of_peer("192.0.2.7:4000");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, "failed to duplicate connection descriptor");
  EXPECT_EQ(events[0].level, log::Level::Warn);
  EXPECT_EQ(events[0].field("error"), "Too many open files (os error 24)");
  // The stream was closed.
  char byte = 0;
  EXPECT_EQ(::read(client.get(), &byte, 1), 0);
}

TEST_F(ControlTransport, ListenerEndsWhenRunningIsCleared) {
  context_.running->store(false);
  EXPECT_TRUE(
      eventually([&] { return !capture_->find("accept loop exited", kTcp).empty(); }, 500ms));
  // The listening socket is closed: connecting is refused.
  EXPECT_TRUE(eventually([&] { return !Client(address_).connected(); }, 500ms));
}

// Runs in a fresh process (see below): address space capped so that no new
// thread stack can be mapped.
int refused_connection_thread_scenario() {
  ScopedCapture capture;
  ControlContext context{SessionManager(), MountRegistry(), std::make_shared<const ServerConfig>(),
                         std::make_shared<std::atomic<bool>>(true)};
  test_support::add_stream_mount(context.mount_registry, /*as_default=*/false);
  auto listener = test_support::listen_on_loopback(SOCK_NONBLOCK);
  if (!listener) return 10;
  const SocketAddress address = listener->address;
  if (!spawn_accept_loop(std::move(listener->socket), context)) return 12;

  const auto original = test_support::cap_address_space_below_a_thread_stack();
  if (!original) return original.error() == test_support::CapFailure::Unreadable ? 13 : 14;

  Client refused(address);
  const bool was_closed = refused.connected() && refused.closed_without_answer();
  const bool warned =
      eventually([&] { return !capture->find("failed to spawn connection thread", kTcp).empty(); });
  ::setrlimit(RLIMIT_AS, &*original);
  if (!was_closed) return 15;
  if (!warned) return 16;
  const auto warning = capture->find("failed to spawn connection thread", kTcp).front();
  if (warning.level != log::Level::Warn) return 17;
  if (warning.field("error") != "Resource temporarily unavailable (os error 11)") return 18;

  // The listener kept going.
  Client served(address);
  served.send(options("8"));
  const auto response = served.read_response();
  if (!response || header_value(*response, "CSeq") != "8") return 19;
  context.running->store(false);
  return 0;
}

TEST(ControlTransportDeathTest, RefusedConnectionThreadClosesOnlyThatStream) {
  // A fresh process, so that no cached stack of an ended thread can be reused.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(refused_connection_thread_scenario()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace rtsp
