// Viewers on another host, played from inside a network namespace of its own:
// one whose host vanishes without closing its connection (its link goes
// down), which the server must notice through keep-alive, ending the
// connection and removing the session; and one that reaches the server over
// an IPv6 link-local address, which must receive RTP.
// Needs root and iproute2; skipped otherwise.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "capture_sink.hpp"
#include "server.hpp"
#include "support.hpp"

extern char** environ;

namespace rtsp {
namespace {

using namespace std::chrono_literals;

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A namespace "rtsp-t<pid>" joined to this host by a veth pair, 198.18.0.1 and
// fe80::1 on the host side, 198.18.0.2 and fe80::2 inside; removed by name on
// destruction.
class TestHost {
 public:
  TestHost()
      : ns_("rtsp-t" + std::to_string(::getpid())),
        host_link_("rv" + std::to_string(::getpid()) + "a"),
        inner_link_("rv" + std::to_string(::getpid()) + "b") {
    ok_ = run("ip netns add " + ns_) &&
          run("ip link add " + host_link_ + " type veth peer name " + inner_link_) &&
          run("ip link set " + inner_link_ + " netns " + ns_) &&
          run("ip addr add 198.18.0.1/30 dev " + host_link_) &&
          run("ip link set " + host_link_ + " up") &&
          run(in_ns("ip addr add 198.18.0.2/30 dev " + inner_link_)) &&
          run("ip -6 addr add fe80::1/64 dev " + host_link_ + " nodad") &&
          run(in_ns("ip -6 addr add fe80::2/64 dev " + inner_link_ + " nodad")) &&
          run(in_ns("ip link set " + inner_link_ + " up")) && run(in_ns("ip link set lo up"));
  }
  ~TestHost() {
    run("ip netns del " + ns_);
    run("ip link del " + host_link_);
  }
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  bool ok() const { return ok_; }
  std::string in_ns(const std::string& command) const {
    return "ip netns exec " + ns_ + " " + command;
  }
  bool pull_the_cable() const { return run(in_ns("ip link set " + inner_link_ + " down")); }
  const std::string& ns() const { return ns_; }
  const std::string& inner_link() const { return inner_link_; }

 private:
  std::string ns_;
  std::string host_link_;
  std::string inner_link_;
  bool ok_ = false;
};

// The players below in Python: with the control socket `s` connected and
// `url` set, SETUP (RTP to port 7000) and PLAY.
constexpr const char* kSetupAndPlay = R"(
def ask(text):
    s.sendall(text.encode())
    data = b""
    while b"\r\n\r\n" not in data:
        data += s.recv(4096)
    return data.decode()
r = ask("SETUP %s/track1 RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP;unicast;client_port=7000-7001\r\n\r\n" % url)
session = r.split("Session: ")[1].split(";")[0].split("\r\n")[0]
ask("PLAY %s RTSP/1.0\r\nCSeq: 2\r\nSession: %s\r\n\r\n" % (url, session))
)";

// A player inside the namespace: SETUP and PLAY over TCP, then silence.
const std::string kPlayer = std::string(R"(
import socket, sys, time
s = socket.create_connection(("198.18.0.1", int(sys.argv[1])), timeout=5)
url = "rtsp://198.18.0.1:%s/stream" % sys.argv[1]
)") + kSetupAndPlay + "time.sleep(60)\n";

// Spawns `argv` and kills and reaps it when it goes out of scope.
struct Child {
  explicit Child(const char* const* argv) {
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
      pid = 0;
    }
  }
  ~Child() {
    if (pid == 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // The exit status once it ended by itself within `limit`, or -1.
  int wait_exit(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }
  pid_t pid = 0;
};

TEST(VanishedPeer, IsDetectedAndItsSessionRemoved) {
  if (::geteuid() != 0 || !run("command -v ip")) GTEST_SKIP() << "needs root and iproute2";
  TestHost host;
  if (!host.ok()) GTEST_SKIP() << "cannot make a network namespace here";

  ServerConfig config;
  config.timings.keepalive_idle = 1s;
  config.timings.keepalive_interval = 1s;
  config.timings.keepalive_count = 2;
  config.timings.user_timeout = 3000ms;
  const std::string port = std::to_string(20000 + ::getpid() % 20000);
  Server server("198.18.0.1:" + port, config);
  ASSERT_TRUE(server.start());
  test_support::ScopedCapture capture(log::Level::Info);

  const std::string ns = host.ns();
  const char* argv[] = {"ip", "netns",         "exec",       ns.c_str(), "python3",
                        "-c", kPlayer.c_str(), port.c_str(), nullptr};
  Child player(argv);
  ASSERT_NE(player.pid, 0);

  ASSERT_TRUE(test_support::eventually([&] { return server.get_viewers().size() == 1; }, 10000ms))
      << "the player never started playing";
  ASSERT_TRUE(host.pull_the_cable());
  const auto cut = std::chrono::steady_clock::now();

  // Keep-alive gives up after about 1 + 2 x 1 s here (3 s unacknowledged at most).
  ASSERT_TRUE(test_support::eventually([&] { return server.get_viewers().empty(); }, 15000ms))
      << "the vanished viewer is still listed";
  const auto detected =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - cut);
  std::printf("vanished peer detected and removed after %lld ms\n",
              static_cast<long long>(detected.count()));
  EXPECT_EQ(server.session_manager().session_count(), 0u);
  ASSERT_TRUE(test_support::eventually(
      [&] { return !capture->find("client disconnected", "rtsp::transport::tcp").empty(); }));
  EXPECT_EQ(capture->find("client disconnected", "rtsp::transport::tcp")[0].field("reason"),
            "read error");
  server.stop();
}

// A player inside the namespace that reaches the server at fe80::1 on its
// link: SETUP and PLAY, then it exits 0 at its first RTP packet (1 after 10 s).
const std::string kLinkLocalPlayer = std::string(R"(
import socket, sys
port, link = int(sys.argv[1]), sys.argv[2]
rtp = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
rtp.bind(("::", 7000))
rtp.settimeout(10)
s = socket.create_connection(("fe80::1%" + link, port), timeout=5)
url = "rtsp://[fe80::1]:%d/stream" % port
)") + kSetupAndPlay + R"(
try:
    data, sender = rtp.recvfrom(2048)
except socket.timeout:
    sys.exit(1)
sys.exit(0 if len(data) >= 12 and data[0] == 0x80 else 2)
)";

TEST(LinkLocalViewer, ReceivesRtp) {
  if (::geteuid() != 0 || !run("command -v ip")) GTEST_SKIP() << "needs root and iproute2";
  TestHost host;
  if (!host.ok()) GTEST_SKIP() << "cannot make a network namespace here";

  const std::string port = std::to_string(20000 + (::getpid() + 7) % 20000);
  Server server("[::]:" + port, ServerConfig{});
  ASSERT_TRUE(server.start());

  const std::string ns = host.ns();
  const char* argv[] = {"ip",
                        "netns",
                        "exec",
                        ns.c_str(),
                        "python3",
                        "-c",
                        kLinkLocalPlayer.c_str(),
                        port.c_str(),
                        host.inner_link().c_str(),
                        nullptr};
  Child player(argv);
  ASSERT_NE(player.pid, 0);
  ASSERT_TRUE(test_support::eventually([&] { return server.get_viewers().size() == 1; }, 10000ms))
      << "the player never started playing";
  const auto viewers = server.get_viewers();
  EXPECT_EQ(viewers[0].client_addr, "[fe80::2]:7000");

  // A single-NAL frame: one datagram per call, until the player has one.
  // The player leaves once it has, and its session with it, so a later call
  // may find no viewer.
  const std::uint8_t frame[] = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00};
  int status = -1;
  for (int i = 0; i < 100 && status < 0; ++i) {
    ASSERT_TRUE(server.send_frame(frame, 3000).has_value());
    status = player.wait_exit(50ms);
  }
  EXPECT_EQ(status, 0) << "no RTP reached the link-local viewer";
  server.stop();
}

}  // namespace
}  // namespace rtsp
