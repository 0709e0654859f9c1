// Server construction, start and stop, over real loopback sockets.
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "address_space_cap.hpp"
#include "capture_sink.hpp"
#include "server.hpp"
#include "socket_address.hpp"
#include "support.hpp"

namespace rtsp {
namespace {

using namespace std::chrono_literals;
using namespace test_support;

constexpr std::string_view kServer = "rtsp::server";
constexpr std::string_view kTcp = "rtsp::transport::tcp";

std::string request(std::string_view method, std::string_view cseq, std::string_view extra = "") {
  return std::string(method) + " rtsp://127.0.0.1/stream RTSP/1.0\r\nCSeq: " + std::string(cseq) +
         "\r\n" + std::string(extra) + "\r\n";
}

// A started server on a free loopback port; another port is tried when a
// parallel process took the probed one.
std::unique_ptr<Server> started_server(std::string_view host = "127.0.0.1") {
  const int family = host.starts_with('[') ? AF_INET6 : AF_INET;
  for (int attempt = 0; attempt < 10; ++attempt) {
    auto server = std::make_unique<Server>(
        std::string(host) + ":" + std::to_string(test_support::free_port(family)), ServerConfig{});
    const auto started = server->start();
    if (started) return server;
    if (started.error().kind() != RtspError::Kind::Io || started.error().os_error() != EADDRINUSE) {
      ADD_FAILURE() << started.error().message();
      return nullptr;
    }
  }
  ADD_FAILURE() << "no free port";
  return nullptr;
}

SocketAddress address_of(const Server& server) { return *SocketAddress::parse(server.bind_addr()); }

std::vector<CapturedEvent> events_for(const ScopedCapture& capture, std::string_view message,
                                      const Client& client) {
  std::vector<CapturedEvent> out;
  for (auto& event : capture->find(message, kTcp)) {
    if (event.field("peer") == client.local() || event.field("peer_addr") == client.local()) {
      out.push_back(event);
    }
  }
  return out;
}

// The client is connected and its first OPTIONS is answered 200 OK.
void expect_options_answered(Client& client) {
  ASSERT_TRUE(client.connected());
  client.send(request("OPTIONS", "1"));
  const auto response = client.read_head();
  ASSERT_TRUE(response.has_value());
  EXPECT_TRUE(response->starts_with("RTSP/1.0 200 OK\r\n"));
}

TEST(ServerLifecycle, NewServerIsNotRunningAndHasTheDefaultMount) {
  ScopedCapture capture;
  Server server("127.0.0.1:8554", ServerConfig{});
  EXPECT_FALSE(server.is_running());
  EXPECT_EQ(server.bind_addr(), "127.0.0.1:8554");
  EXPECT_FALSE(server.udp_local_addr().has_value());

  const auto mount = server.mount_registry().get("/stream");
  ASSERT_NE(mount, nullptr);
  EXPECT_EQ(server.mount_registry().resolve_from_uri("rtsp://host/elsewhere"), mount);
  EXPECT_EQ(mount->with_packetizer([](Packetizer& p) { return p.payload_type(); }), 96);

  // Stop always reports itself, running or not.
  server.stop();
  server.stop();
  EXPECT_FALSE(server.is_running());
  const auto stopping = capture->find("server stopping", kServer);
  ASSERT_EQ(stopping.size(), 2u);
  EXPECT_EQ(stopping[0].level, log::Level::Info);
}

TEST(ServerLifecycle, AddressFailuresCarryTheirMessage) {
  struct Case {
    std::string bind_addr;
    std::string message;
  };
  const std::string host_port = "invalid bind address: expected host:port with explicit port, got ";
  const std::string port_zero = "invalid bind address: port must be explicit (non-zero)";
  const Case cases[] = {
      {"0.0.0.0:0", port_zero},
      {"[::1]:0", port_zero},
      {"localhost:8554", host_port + "\"localhost:8554\""},
      {"8554", host_port + "\"8554\""},
      {"127.0.0.1", host_port + "\"127.0.0.1\""},
      {"127.0.0.1:", host_port + "\"127.0.0.1:\""},
      {"127.0.0.1:65536", host_port + "\"127.0.0.1:65536\""},
      {"::1:8554", host_port + "\"::1:8554\""},
      {"", host_port + "\"\""},
      {"a\"b\\c:1", host_port + "\"a\\\"b\\\\c:1\""},
      {std::string("x\n\r\t\0\x1b\x7f:1", 9), host_port + "\"x\\n\\r\\t\\0\\u{1b}\\u{7f}:1\""},
      {"\xc2\x85h\xc3\xa9:1", host_port + "\"\\u{85}h\xc3\xa9:1\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bind_addr);
    ScopedCapture capture;
    Server server(c.bind_addr, ServerConfig{});
    const auto started = server.start();
    ASSERT_FALSE(started.has_value());
    EXPECT_EQ(started.error().kind(), RtspError::Kind::InvalidBindAddress);
    EXPECT_EQ(started.error().message(), c.message);
    EXPECT_FALSE(server.is_running());
    EXPECT_FALSE(server.udp_local_addr().has_value());
    EXPECT_TRUE(capture->find("RTSP server listening", kServer).empty());
  }
}

TEST(ServerLifecycle, StartListensAndAnswers) {
  ScopedCapture capture;
  const auto server = started_server();
  ASSERT_NE(server, nullptr);
  EXPECT_TRUE(server->is_running());

  const auto listening = capture->find("RTSP server listening", kServer);
  ASSERT_EQ(listening.size(), 1u);
  EXPECT_EQ(listening[0].level, log::Level::Info);
  EXPECT_EQ(listening[0].field("addr"), server->bind_addr());

  const auto udp = server->udp_local_addr();
  ASSERT_TRUE(udp.has_value());
  EXPECT_FALSE(udp->is_v6());
  EXPECT_EQ(udp->ip_string(), "0.0.0.0");
  EXPECT_NE(udp->port(), 0);

  Client client(address_of(*server));
  ASSERT_NO_FATAL_FAILURE(expect_options_answered(client));

  // A second start changes nothing and the listener keeps serving.
  const auto again = server->start();
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().message(), "server already running");
  EXPECT_TRUE(server->is_running());
  Client second(address_of(*server));
  second.send(request("OPTIONS", "2"));
  EXPECT_TRUE(second.read_head().has_value());
  server->stop();
}

TEST(ServerLifecycle, PortInUseIsAnIoErrorAndALaterStartSucceeds) {
  ScopedCapture capture;
  // Hold the port with a listening socket of our own.
  auto holder = test_support::listen_on_loopback(0, 1);
  ASSERT_TRUE(holder.has_value());
  const auto port = holder->address.port();

  Server server("127.0.0.1:" + std::to_string(port), ServerConfig{});
  const auto started = server.start();
  ASSERT_FALSE(started.has_value());
  EXPECT_EQ(started.error().kind(), RtspError::Kind::Io);
  EXPECT_TRUE(started.error().message().starts_with("I/O error: "));
  EXPECT_TRUE(started.error().message().ends_with("(os error 98)"));
  EXPECT_FALSE(server.is_running());
  EXPECT_TRUE(capture->find("RTSP server listening", kServer).empty());
  // The UDP socket was bound before the listener failed, and stays.
  EXPECT_TRUE(server.udp_local_addr().has_value());

  holder.reset();
  ASSERT_TRUE(server.start().has_value());
  EXPECT_TRUE(server.is_running());
  server.stop();
}

TEST(ServerLifecycle, StopClosesTheListenerWhileAnIdleConnectionServesOneMoreRequest) {
  ScopedCapture capture;
  const auto server = started_server();
  ASSERT_NE(server, nullptr);
  const SocketAddress address = address_of(*server);

  Client idle(address);
  ASSERT_TRUE(idle.connected());
  idle.send(setup("1"));
  const auto setup_response = idle.read_head();
  ASSERT_TRUE(setup_response.has_value());
  ASSERT_TRUE(setup_response->starts_with("RTSP/1.0 200 OK\r\n")) << *setup_response;
  ASSERT_EQ(server->session_manager().session_count(), 1u);
  // Let the connection pass its running check and wait for its next
  // request; a stop before that check would end it at once, which is also
  // correct.
  ASSERT_TRUE(eventually([&] { return server->requests_awaited() == 2; }));

  const auto stopped_at = std::chrono::steady_clock::now();
  server->stop();
  EXPECT_FALSE(server->is_running());
  ASSERT_TRUE(eventually([&] { return !Client(address).connected(); }, 1000ms));
  const auto closed_after = std::chrono::steady_clock::now() - stopped_at;
  EXPECT_LT(closed_after, 300ms)
      << "listener closed after "
      << std::chrono::duration_cast<std::chrono::milliseconds>(closed_after).count() << " ms";
  EXPECT_FALSE(capture->find("accept loop exited", kTcp).empty());

  // The idle connection is still open: its next request is answered, then it ends.
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(events_for(capture, "client disconnected", idle).empty());
  idle.send(request("OPTIONS", "2"));
  const auto response = idle.read_head();
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(header_value(*response, "CSeq"), "2");
  EXPECT_TRUE(idle.closed_within());

  ASSERT_TRUE(
      eventually([&] { return !events_for(capture, "client disconnected", idle).empty(); }));
  EXPECT_EQ(events_for(capture, "client disconnected", idle)[0].field("reason"),
            "server shutting down");
  const auto cleaned = events_for(capture, "cleaned up sessions on disconnect", idle);
  ASSERT_EQ(cleaned.size(), 1u);
  EXPECT_EQ(cleaned[0].number("removed"), 1u);
  EXPECT_EQ(server->session_manager().session_count(), 0u);
}

TEST(ServerLifecycle, RestartKeepsSessionsAndMounts) {
  ScopedCapture capture;
  const auto server = started_server();
  ASSERT_NE(server, nullptr);
  const SocketAddress address = address_of(*server);
  const auto mount = server->mount_registry().get("/stream");

  Client keeper(address);
  keeper.send(setup("1"));
  const auto setup_response = keeper.read_head();
  ASSERT_TRUE(setup_response.has_value());
  std::string id = header_value(*setup_response, "Session");
  id = id.substr(0, id.find(';'));
  ASSERT_FALSE(id.empty());
  // Let the connection wait for its next request before the flag drops, so
  // it outlives the stop.
  ASSERT_TRUE(eventually([&] { return server->requests_awaited() == 2; }));

  server->stop();
  ASSERT_TRUE(eventually([&] { return !capture->find("accept loop exited", kTcp).empty(); }));
  ASSERT_TRUE(server->start().has_value());
  EXPECT_TRUE(server->is_running());

  EXPECT_EQ(server->mount_registry().get("/stream"), mount);
  EXPECT_NE(server->session_manager().get_session(id), nullptr);

  // A new client on the new listener finds the old session.
  Client fresh(address);
  ASSERT_TRUE(fresh.connected());
  fresh.send(request("GET_PARAMETER", "2", "Session: " + id + "\r\n"));
  const auto response = fresh.read_head();
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(header_value(*response, "Session"), id);
  server->stop();
}

TEST(ServerLifecycle, ListensOnIpv6Loopback) {
  if (test_support::free_port(AF_INET6) == 0) GTEST_SKIP() << "no IPv6 loopback on this host";
  ScopedCapture capture;
  const auto server = started_server("[::1]");
  ASSERT_NE(server, nullptr);

  Client client(address_of(*server));
  ASSERT_NO_FATAL_FAILURE(expect_options_answered(client));
  const auto connected = events_for(capture, "client connected", client);
  ASSERT_EQ(connected.size(), 1u);
  EXPECT_TRUE(connected[0].field("peer_addr")->starts_with("[::1]:"));
  server->stop();
}

// Runs in a fresh process: with the address space capped no thread stack can
// be mapped, so the listener thread is refused.
int refused_listener_thread_scenario() {
  Server server("127.0.0.1:" + std::to_string(test_support::free_port()), ServerConfig{});

  const auto original = test_support::cap_address_space_below_a_thread_stack();
  if (!original) return original.error() == test_support::CapFailure::Unreadable ? 10 : 11;
  const auto started = server.start();
  ::setrlimit(RLIMIT_AS, &*original);

  if (started) return 12;
  if (started.error().message() != "I/O error: Resource temporarily unavailable (os error 11)")
    return 13;
  if (server.is_running()) return 14;
  // The listening socket was closed: the port can be listened on again.
  if (!server.start()) return 15;
  server.stop();
  return 0;
}

TEST(ServerLifecycleDeathTest, RefusedListenerThreadFailsTheStart) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(refused_listener_thread_scenario()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace rtsp
