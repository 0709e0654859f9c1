// Frame and packet delivery over loopback: sessions are set up directly
// through the server's registries, with transports pointing at UDP sockets
// the test binds and reads.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture_sink.hpp"
#include "media/h264.hpp"
#include "media/rtp.hpp"
#include "server.hpp"
#include "support.hpp"

namespace rtsp {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Stands in for a player's RTP port.
class UdpReceiver {
 public:
  // Bound to 127.0.0.1 or ::1 on a system-chosen port; nullopt if the family
  // is unavailable on this host.
  static std::optional<UdpReceiver> open(int family) {
    Fd fd(::socket(family, SOCK_DGRAM, 0));
    if (!fd) return std::nullopt;
    sockaddr_storage storage{};
    socklen_t len = 0;
    if (family == AF_INET) {
      auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
      v4->sin_family = AF_INET;
      v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof *v4;
    } else {
      auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
      v6->sin6_family = AF_INET6;
      v6->sin6_addr = in6addr_loopback;
      len = sizeof *v6;
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&storage), len) != 0) return std::nullopt;
    const auto addr = SocketAddress::local_of(fd.get());
    if (!addr) return std::nullopt;
    return UdpReceiver(std::move(fd), *addr);
  }

  const SocketAddress& addr() const { return addr_; }

  std::optional<Bytes> receive(std::chrono::milliseconds timeout = 1000ms) {
    pollfd pfd{fd_.get(), POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    Bytes buf(65536);
    const ssize_t n = ::recv(fd_.get(), buf.data(), buf.size(), 0);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return buf;
  }

  // Everything that arrives until the socket has been quiet for `quiet`.
  std::vector<Bytes> drain(std::chrono::milliseconds quiet = 100ms) {
    std::vector<Bytes> out;
    while (auto datagram = receive(quiet)) out.push_back(std::move(*datagram));
    return out;
  }

 private:
  UdpReceiver(Fd fd, SocketAddress addr) : fd_(std::move(fd)), addr_(addr) {}
  Fd fd_;
  SocketAddress addr_;
};

std::unique_ptr<Server> started_server(const ServerConfig& config = {}) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    auto server =
        std::make_unique<Server>("127.0.0.1:" + std::to_string(test_support::free_port()), config);
    if (server->start()) return server;
  }
  return nullptr;
}

// AUD, SPS, PPS and an IDR slice large enough for three FU-A fragments.
Bytes keyframe(std::uint8_t fill) {
  static constexpr std::uint8_t kHead[] = {0, 0, 0, 1,   0x09, 0xF0,                          // AUD
                                           0, 0, 0, 1,   0x67, 0x42, 0xC0, 0x1F, 0xDA, 0x01,  // SPS
                                           0, 0, 0, 1,   0x68, 0xCE, 0x3C, 0x80,              // PPS
                                           0, 0, 1, 0x65};  // IDR slice header
  Bytes frame(sizeof kHead + 3500, fill);
  std::copy(std::begin(kHead), std::end(kHead), frame.begin());
  return frame;
}

std::uint32_t ssrc_of(const Bytes& packet) {
  return std::uint32_t{packet[8]} << 24 | std::uint32_t{packet[9]} << 16 |
         std::uint32_t{packet[10]} << 8 | packet[11];
}

Bytes to_bytes(const RtpPacket& packet) { return {packet.bytes().begin(), packet.bytes().end()}; }

class Delivery : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = started_server();
    ASSERT_NE(server_, nullptr) << "could not start a server on loopback";
  }
  void TearDown() override {
    if (server_) server_->stop();
  }

  struct NewSession {
    SessionState state = SessionState::Playing;
    std::optional<SocketAddress> dest;  // no transport when empty
    bool subscribed = true;
  };

  std::shared_ptr<Session> add_session(const NewSession& wanted) {
    SessionManager sessions = server_->session_manager();
    auto session = sessions.create_session("rtsp://127.0.0.1:8554/stream");
    if (wanted.dest) {
      const std::uint16_t port = wanted.dest->port();
      session->set_transport(
          SessionTransport{*wanted.dest, port, static_cast<std::uint16_t>(port + 1), 5000, 5001});
    }
    session->set_state(wanted.state);
    if (wanted.subscribed) stream()->subscribe(session->id());
    return session;
  }

  std::shared_ptr<Mount> stream() const { return server_->mount_registry().get("/stream"); }

  std::unique_ptr<Server> server_;
};

TEST(DeliveryBeforeStart, SendingFailsNotStartedButViewersAreListed) {
  Server server("127.0.0.1:8554", ServerConfig{});
  SessionManager sessions = server.session_manager();
  auto session = sessions.create_session("rtsp://127.0.0.1:8554/stream");
  session->set_transport(
      SessionTransport{*SocketAddress::parse("127.0.0.1:5000"), 5000, 5001, 5000, 5001});
  session->set_state(SessionState::Playing);
  MountRegistry(server.mount_registry()).get("/stream")->subscribe(session->id());

  const Bytes frame = keyframe(1);
  const auto not_started = RtspError::server_not_started();
  EXPECT_EQ(server.send_frame(frame, 3000).error(), not_started);
  EXPECT_EQ(server.send_frame_to("/stream", frame, 3000).error(), not_started);
  EXPECT_EQ(server.send_frame_to("/nowhere", frame, 3000).error(), not_started);
  EXPECT_EQ(server.send_rtp_packet(session->id(), frame).error(), not_started);
  EXPECT_EQ(server.send_rtp_packet("no such session", frame).error(), not_started);
  EXPECT_EQ(server.broadcast_rtp_packet(frame).error(), not_started);
  // Nothing was packetized.
  EXPECT_EQ(MountRegistry(server.mount_registry()).get("/stream")->next_sequence(), 0);

  const auto viewers = server.get_viewers();
  ASSERT_EQ(viewers.size(), 1u);
  EXPECT_EQ(viewers[0].session_id, session->id());
}

TEST_F(Delivery, FrameReachesOnlyPlayingSubscribersWithTransport) {
  struct Case {
    const char* name;
    SessionState state;
    bool transport;
    bool subscribed;
    bool removed;  // gone from the session registry, still subscribed
    bool receives;
  };
  const Case cases[] = {
      {"playing", SessionState::Playing, true, true, false, true},
      {"second playing", SessionState::Playing, true, true, false, true},
      {"paused", SessionState::Paused, true, true, false, false},
      {"ready", SessionState::Ready, true, true, false, false},
      {"playing, no transport", SessionState::Playing, false, true, false, false},
      {"playing, not subscribed", SessionState::Playing, true, false, false, false},
      {"playing, removed", SessionState::Playing, true, true, true, false},
  };
  std::vector<UdpReceiver> receivers;
  for (const Case& c : cases) {
    auto receiver = UdpReceiver::open(AF_INET);
    ASSERT_TRUE(receiver);
    auto session = add_session(
        {c.state, c.transport ? std::optional(receiver->addr()) : std::nullopt, c.subscribed});
    if (c.removed) {
      SessionManager sessions = server_->session_manager();
      sessions.remove_session(session->id());
    }
    receivers.push_back(std::move(*receiver));
  }

  auto sent = server_->send_frame(keyframe(7), 3000);
  ASSERT_TRUE(sent) << sent.error().message();
  EXPECT_EQ(*sent, 2u);

  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto got = receivers[i].drain();
    EXPECT_EQ(got.empty(), !cases[i].receives) << cases[i].name << ": " << got.size() << " packets";
  }
}

TEST_F(Delivery, EveryViewerGetsTheStandalonePacketizersPackets) {
  auto first = UdpReceiver::open(AF_INET);
  auto second = UdpReceiver::open(AF_INET);
  ASSERT_TRUE(first && second);
  add_session({SessionState::Playing, first->addr()});
  add_session({SessionState::Playing, second->addr()});

  std::vector<Bytes> frames = {keyframe(1), keyframe(2), {0, 0, 1, 0x41, 0x9A, 0x02}};
  for (const Bytes& frame : frames) {
    auto sent = server_->send_frame(frame, 3003);
    ASSERT_TRUE(sent) << sent.error().message();
    EXPECT_EQ(*sent, 2u);
  }

  const auto got_first = first->drain();
  const auto got_second = second->drain();
  ASSERT_FALSE(got_first.empty());
  EXPECT_EQ(got_first, got_second);

  // Byte for byte what a fresh packetizer with the stream's SSRC produces.
  H264Packetizer reference(RtpHeader(96, ssrc_of(got_first[0])));
  std::vector<Bytes> expected;
  for (const Bytes& frame : frames) {
    for (const RtpPacket& packet : reference.packetize(frame, 3003))
      expected.push_back(to_bytes(packet));
  }
  EXPECT_EQ(got_first, expected);
}

// Frames with single NAL packets, short FU-A runs and one NAL unit of more
// fragments than one segmented send may carry.
std::vector<Bytes> mixed_frames() {
  Bytes big = keyframe(7);
  big.resize(big.size() + 100000, 0x5A);  // about 75 fragments of 1412 bytes
  return {big, {0, 0, 1, 0x41, 0x9A, 0x02, 0, 0, 1, 0x41, 0x9B}, keyframe(8)};
}

// Sends `frames` through the server and returns what `viewer` received and
// what a reference packetizer with the stream's SSRC (continuing from
// `reference`, made on the first packet) produces for the same frames.
std::pair<std::vector<Bytes>, std::vector<Bytes>> send_and_expect(
    Server& server, UdpReceiver& viewer, const std::vector<Bytes>& frames,
    std::optional<H264Packetizer>& reference) {
  std::vector<Bytes> got;
  std::vector<Bytes> expected;
  for (const Bytes& frame : frames) {
    if (!server.send_frame(frame, 3000)) break;
    for (auto& datagram : viewer.drain(50ms)) got.push_back(std::move(datagram));
    if (got.empty()) break;
    if (!reference) reference.emplace(RtpHeader(96, ssrc_of(got[0])));
    for (const RtpPacket& packet : reference->packetize(frame, 3000))
      expected.push_back(to_bytes(packet));
  }
  return {got, expected};
}

TEST_F(Delivery, SegmentedAndSingleSendsPutTheSameDatagramsOnTheWire) {
  auto viewer = UdpReceiver::open(AF_INET);
  ASSERT_TRUE(viewer);
  add_session({SessionState::Playing, viewer->addr()});
  test_support::ScopedCapture capture(log::Level::Info);

  std::optional<H264Packetizer> reference;
  for (const bool segmented : {true, false}) {
    server_->udp_sender()->set_segmentation(segmented);
    const auto [got, expected] = send_and_expect(*server_, *viewer, mixed_frames(), reference);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got, expected) << (segmented ? "segmented" : "one datagram per call");
  }
  EXPECT_TRUE(capture->find("UDP segmentation offload unavailable; sending one datagram per packet")
                  .empty());
}

TEST_F(Delivery, RefusedSegmentationFallsBackOnceAndLosesNothing) {
  auto viewer = UdpReceiver::open(AF_INET);
  ASSERT_TRUE(viewer);
  add_session({SessionState::Playing, viewer->addr()});
  // The kernel refuses segmented sends on a socket without UDP checksums,
  // while single datagrams still go out.
  const int off = 1;
  ASSERT_EQ(::setsockopt(server_->udp_sender()->v4_descriptor(), SOL_SOCKET, SO_NO_CHECK, &off,
                         sizeof off),
            0);
  test_support::ScopedCapture capture(log::Level::Info);

  std::optional<H264Packetizer> reference;
  const auto [got, expected] = send_and_expect(*server_, *viewer, mixed_frames(), reference);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got, expected);
  EXPECT_FALSE(server_->udp_sender()->segmentation());

  const auto fallback = capture->find(
      "UDP segmentation offload unavailable; sending one datagram per packet", "rtsp::server");
  ASSERT_EQ(fallback.size(), 1u) << "falls back once and for good";
  EXPECT_EQ(fallback[0].level, log::Level::Info);
  EXPECT_EQ(fallback[0].field("error"), RtspError::io(EINVAL).message());
  EXPECT_TRUE(capture->find("failed to send RTP packet").empty());
}

TEST_F(Delivery, StreamAdvancesWithNobodyWatching) {
  const Bytes frame = keyframe(3);
  const auto packets = H264Packetizer::with_random_ssrc(96).packetize(frame, 3000).size();

  auto sent = server_->send_frame(frame, 3000);
  ASSERT_TRUE(sent);
  EXPECT_EQ(*sent, 0u);
  EXPECT_EQ(stream()->next_sequence(), packets);
  EXPECT_EQ(stream()->next_rtp_timestamp(), 3000u);
}

TEST_F(Delivery, FrameWithoutPacketsStillCountsViewers) {
  auto receiver = UdpReceiver::open(AF_INET);
  ASSERT_TRUE(receiver);
  add_session({SessionState::Playing, receiver->addr()});

  for (const Bytes& frame : {Bytes{}, Bytes{1, 2, 3}}) {
    auto sent = server_->send_frame(frame, 3000);
    ASSERT_TRUE(sent);
    EXPECT_EQ(*sent, 1u);
  }
  EXPECT_TRUE(receiver->drain(50ms).empty());
  EXPECT_EQ(stream()->next_rtp_timestamp(), 6000u);
}

TEST_F(Delivery, MountPathMustMatchExactly) {
  const Bytes frame = keyframe(4);
  for (const char* path :
       {"/stream/", "/Stream", "stream", "", "/stream/track1", "rtsp://127.0.0.1:8554/stream"}) {
    auto sent = server_->send_frame_to(path, frame, 3000);
    ASSERT_FALSE(sent) << path;
    EXPECT_EQ(sent.error(), RtspError::mount_not_found(path));
    EXPECT_EQ(sent.error().message(), std::string("mount not found: ") + path);
  }
  EXPECT_EQ(stream()->next_sequence(), 0) << "a failed call packetized";
  EXPECT_TRUE(server_->send_frame_to("/stream", frame, 3000));
}

TEST_F(Delivery, SendRtpPacketChecksSessionThenStateThenTransport) {
  auto receiver = UdpReceiver::open(AF_INET);
  ASSERT_TRUE(receiver);
  const auto dest = receiver->addr();
  struct Case {
    const char* name;
    SessionState state;
    bool transport;
    RtspError::Kind expected;
  };
  const Case cases[] = {
      {"ready", SessionState::Ready, true, RtspError::Kind::SessionNotPlaying},
      {"paused", SessionState::Paused, true, RtspError::Kind::SessionNotPlaying},
      {"ready without transport", SessionState::Ready, false, RtspError::Kind::SessionNotPlaying},
      {"playing without transport", SessionState::Playing, false,
       RtspError::Kind::TransportNotConfigured},
  };
  const Bytes payload = {0x80, 0x60, 0, 1, 0, 0, 0, 0, 1, 2, 3, 4, 0xAB};
  for (const Case& c : cases) {
    auto session = add_session({c.state, c.transport ? std::optional(dest) : std::nullopt});
    auto sent = server_->send_rtp_packet(session->id(), payload);
    ASSERT_FALSE(sent) << c.name;
    EXPECT_EQ(sent.error().kind(), c.expected) << c.name;
    EXPECT_EQ(sent.error().text(), session->id()) << c.name;
  }
  auto missing = server_->send_rtp_packet("FFFFFFFFFFFFFFFF", payload);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), RtspError::session_not_found("FFFFFFFFFFFFFFFF"));
  EXPECT_TRUE(receiver->drain(50ms).empty());

  // Subscription is not needed; the payload goes out untouched.
  auto session = add_session({SessionState::Playing, dest, /*subscribed=*/false});
  auto sent = server_->send_rtp_packet(session->id(), payload);
  ASSERT_TRUE(sent) << sent.error().message();
  EXPECT_EQ(*sent, payload.size());
  EXPECT_EQ(receiver->receive(), payload);
}

TEST_F(Delivery, BroadcastCountsDeliveredDatagrams) {
  auto first = UdpReceiver::open(AF_INET);
  auto second = UdpReceiver::open(AF_INET);
  auto paused = UdpReceiver::open(AF_INET);
  ASSERT_TRUE(first && second && paused);
  add_session({SessionState::Playing, first->addr()});
  add_session({SessionState::Playing, second->addr()});
  add_session({SessionState::Paused, paused->addr()});

  const Bytes payload = {0x80, 0xE0, 0, 9, 1, 2, 3, 4, 5, 6, 7, 8};
  auto sent = server_->broadcast_rtp_packet(payload);
  ASSERT_TRUE(sent);
  EXPECT_EQ(*sent, 2u);
  EXPECT_EQ(first->receive(), payload);
  EXPECT_EQ(second->receive(), payload);
  EXPECT_TRUE(paused->drain(50ms).empty());
}

TEST_F(Delivery, FailedSendsAreWarnedAndTheOthersStillServed) {
  test_support::ScopedCapture capture(log::Level::Warn);
  auto good = UdpReceiver::open(AF_INET);
  ASSERT_TRUE(good);
  add_session({SessionState::Playing, good->addr()});
  // The kernel refuses UDP datagrams to port 0.
  const auto unreachable = *SocketAddress::parse("127.0.0.1:0");
  auto bad = add_session({SessionState::Playing, unreachable});
  // Sends to all viewers are batched: the one after the failure still counts.
  auto after = UdpReceiver::open(AF_INET);
  ASSERT_TRUE(after);
  add_session({SessionState::Playing, after->addr()});
  const std::string expected_error = RtspError::io(EINVAL).message();

  const Bytes frame = keyframe(5);
  const auto packets = H264Packetizer::with_random_ssrc(96).packetize(frame, 1).size();
  auto sent = server_->send_frame(frame, 3000);
  ASSERT_TRUE(sent);
  EXPECT_EQ(*sent, 3u) << "a failing viewer is still addressed";
  EXPECT_EQ(good->drain().size(), packets);
  EXPECT_EQ(after->drain().size(), packets);

  // The first failure is warned at once; the rest of the second are counted.
  auto warnings = capture->find("failed to send RTP packet", "rtsp::server");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].level, log::Level::Warn);
  EXPECT_EQ(warnings[0].field("session_id"), bad->id());
  EXPECT_EQ(warnings[0].field("addr"), "127.0.0.1:0");
  EXPECT_EQ(warnings[0].field("error"), expected_error);
  EXPECT_EQ(warnings[0].number("failed"), 1u);

  auto broadcast = server_->broadcast_rtp_packet(Bytes(20, 0x80));
  ASSERT_TRUE(broadcast);
  EXPECT_EQ(*broadcast, 2u);
  auto single = server_->send_rtp_packet(bad->id(), Bytes(20, 0x80));
  ASSERT_FALSE(single);
  EXPECT_EQ(single.error(), RtspError::io(EINVAL));
  EXPECT_EQ(capture->find("failed to send RTP packet").size(), 1u)
      << "counted, not warned, within the second; send_rtp_packet returns its error instead";

  // What is left is reported once, when the session ends.
  const std::string id = bad->id();
  SessionManager sessions = server_->session_manager();
  sessions.remove_session(id);
  bad.reset();
  warnings = capture->find("failed to send RTP packet", "rtsp::server");
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_EQ(warnings[1].field("session_id"), id);
  EXPECT_EQ(warnings[1].field("addr"), "127.0.0.1:0");
  EXPECT_EQ(warnings[1].field("error"), expected_error);
  EXPECT_EQ(warnings[1].number("failed"), packets - 1 + 1) << "the frame's rest and the broadcast";
}

TEST(DeliveryWarnings, FramesWithoutStartCodeAreNamedOncePerRun) {
  ServerConfig config;
  config.repeated_warning_interval = 200ms;
  auto server = started_server(config);
  ASSERT_NE(server, nullptr);
  test_support::ScopedCapture capture(log::Level::Warn);
  const auto warnings = [&] {
    return capture->find("frame holds no Annex B start code; nothing was sent", "rtsp::server");
  };
  // As demuxed from an MP4 file: each NAL unit behind its 4-byte length.
  const Bytes length_prefixed = {0, 0, 0, 5, 0x65, 0x88, 0x84, 0x21, 0xA0, 0, 0, 0, 2, 0x41, 0x9A};
  const auto send_burst = [&] {
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(server->send_frame(length_prefixed, 3000));
  };

  send_burst();
  ASSERT_EQ(warnings().size(), 1u);
  EXPECT_EQ(warnings()[0].level, log::Level::Warn);
  EXPECT_EQ(warnings()[0].field("mount"), "/stream");
  EXPECT_EQ(warnings()[0].number("length"), length_prefixed.size());
  EXPECT_EQ(warnings()[0].field("head"), "0000000565888421");

  // Neither empty frames nor bare start codes are the wrong format.
  for (const Bytes& frame : {Bytes{}, Bytes{0, 0, 0, 1}, Bytes{0, 0, 1}}) {
    ASSERT_TRUE(server->send_frame(frame, 3000));
  }
  std::this_thread::sleep_for(250ms);
  send_burst();
  EXPECT_EQ(warnings().size(), 1u) << "no good frame in between";

  ASSERT_TRUE(server->send_frame(keyframe(7), 3000));
  send_burst();
  ASSERT_EQ(warnings().size(), 2u) << "named again after a good frame";
  EXPECT_EQ(warnings()[1].field("head"), "0000000565888421");
  server->stop();
}

TEST_F(Delivery, Ipv6ClientsReceiveTheirRtp) {
  auto v6 = UdpReceiver::open(AF_INET6);
  if (!v6) GTEST_SKIP() << "no IPv6 loopback on this host";
  auto v4 = UdpReceiver::open(AF_INET);
  ASSERT_TRUE(v4);
  test_support::ScopedCapture capture(log::Level::Warn);
  auto session = add_session({SessionState::Playing, v6->addr()});
  add_session({SessionState::Playing, v4->addr()});

  const Bytes frame = keyframe(6);
  auto sent = server_->send_frame(frame, 3000);
  ASSERT_TRUE(sent);
  EXPECT_EQ(*sent, 2u);
  const auto got_v6 = v6->drain();
  EXPECT_FALSE(got_v6.empty());
  EXPECT_EQ(got_v6, v4->drain());

  auto broadcast = server_->broadcast_rtp_packet(Bytes(16, 0x80));
  ASSERT_TRUE(broadcast);
  EXPECT_EQ(*broadcast, 2u);
  EXPECT_EQ(v6->receive(), Bytes(16, 0x80));

  auto single = server_->send_rtp_packet(session->id(), Bytes(13, 0x81));
  ASSERT_TRUE(single) << single.error().message();
  EXPECT_EQ(v6->receive(), Bytes(13, 0x81));
  EXPECT_TRUE(capture->find("failed to send RTP packet").empty());

  bool listed = false;
  for (const Viewer& viewer : server_->get_viewers()) {
    if (viewer.session_id != session->id()) continue;
    listed = true;
    EXPECT_EQ(viewer.client_addr, "[::1]:" + std::to_string(v6->addr().port()));
  }
  EXPECT_TRUE(listed);
}

TEST_F(Delivery, Ipv4MappedClientIsServedOverIpv4) {
  auto v4 = UdpReceiver::open(AF_INET);
  ASSERT_TRUE(v4);
  const auto mapped =
      SocketAddress::parse("[::ffff:127.0.0.1]:" + std::to_string(v4->addr().port()));
  ASSERT_TRUE(mapped);
  add_session({SessionState::Playing, *mapped});

  const Bytes payload(12, 0x80);
  auto sent = server_->broadcast_rtp_packet(payload);
  ASSERT_TRUE(sent);
  EXPECT_EQ(*sent, 1u);
  EXPECT_EQ(v4->receive(), payload);
}

TEST_F(Delivery, ViewersArePlayingSessionsWithTransport) {
  auto receiver = UdpReceiver::open(AF_INET);
  ASSERT_TRUE(receiver);
  const auto dest = receiver->addr();
  auto playing = add_session({SessionState::Playing, dest});
  auto unsubscribed = add_session({SessionState::Playing, dest, /*subscribed=*/false});
  add_session({SessionState::Paused, dest});
  add_session({SessionState::Ready, dest});
  add_session({SessionState::Playing, std::nullopt});

  auto viewers = server_->get_viewers();
  ASSERT_EQ(viewers.size(), 2u);
  std::set<std::string> ids = {viewers[0].session_id, viewers[1].session_id};
  EXPECT_EQ(ids, (std::set<std::string>{playing->id(), unsubscribed->id()}));
  for (const Viewer& viewer : viewers) {
    EXPECT_EQ(viewer.uri, "rtsp://127.0.0.1:8554/stream");
    EXPECT_EQ(viewer.client_addr, "127.0.0.1:" + std::to_string(dest.port()));
    EXPECT_EQ(viewer.client_rtp_port, dest.port());
  }
}

TEST_F(Delivery, StoppedServerKeepsDelivering) {
  auto receiver = UdpReceiver::open(AF_INET);
  ASSERT_TRUE(receiver);
  add_session({SessionState::Playing, receiver->addr()});
  server_->stop();

  auto sent = server_->send_frame(keyframe(8), 3000);
  ASSERT_TRUE(sent);
  EXPECT_EQ(*sent, 1u);
  EXPECT_FALSE(receiver->drain().empty());
  auto broadcast = server_->broadcast_rtp_packet(Bytes(12, 0x80));
  ASSERT_TRUE(broadcast);
  EXPECT_EQ(*broadcast, 1u);
}

}  // namespace
}  // namespace rtsp
