// Control-path cost of one request: the text a connection read is parsed,
// answered by the method handler and the answer serialized, for the requests
// a typical player sends.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "media/h264.hpp"
#include "mount.hpp"
#include "protocol/handler.hpp"
#include "protocol/request.hpp"
#include "protocol/response.hpp"
#include "server_config.hpp"
#include "session/session_manager.hpp"
#include "socket_address.hpp"

namespace {

using rtsp::MethodHandler;
using rtsp::RtspRequest;
using rtsp::RtspResponse;

constexpr std::string_view kUserAgent = "User-Agent: BenchPlayer/1.0 (bench client)\r\n";

std::string options_text() {
  return std::string("OPTIONS rtsp://127.0.0.1:8554/stream RTSP/1.0\r\nCSeq: 1\r\n") +
         std::string(kUserAgent) + "\r\n";
}

std::string describe_text() {
  return std::string("DESCRIBE rtsp://127.0.0.1:8554/stream RTSP/1.0\r\nCSeq: 2\r\n") +
         std::string(kUserAgent) + "Accept: application/sdp\r\n\r\n";
}

std::string setup_text() {
  return std::string("SETUP rtsp://127.0.0.1:8554/stream/track1 RTSP/1.0\r\nCSeq: 3\r\n") +
         std::string(kUserAgent) + "Transport: RTP/AVP;unicast;client_port=50000-50001\r\n\r\n";
}

std::string with_session(std::string_view method, std::string_view uri, std::string_view cseq,
                         const std::string& session_id, std::string_view extra = {}) {
  std::string text = std::string(method) + " " + std::string(uri) +
                     " RTSP/1.0\r\nCSeq: " + std::string(cseq) + "\r\n" + std::string(kUserAgent) +
                     "Session: " + session_id + "\r\n" + std::string(extra) + "\r\n";
  return text;
}

// A parameter-set-carrying frame so that DESCRIBE announces sprop values the
// way it does once an encoder is running.
std::vector<std::uint8_t> idr_frame() {
  std::vector<std::uint8_t> frame = {0,    0,    0,    1,    0x67, 0x42, 0xC0, 0x1F, 0xDA, 0x01,
                                     0x40, 0x16, 0xEC, 0x04, 0x40, 0x00, 0x00, 0x03, 0x00, 0x40,
                                     0x00, 0x00, 0x0F, 0x23, 0xC6, 0x0C, 0x92, 0,    0,    0,
                                     1,    0x68, 0xCE, 0x3C, 0x80, 0,    0,    0,    1,    0x65};
  for (int i = 0; i < 4000; ++i) frame.push_back(static_cast<std::uint8_t>(0x11 + (i % 200)));
  return frame;
}

// One control connection's handler over fresh shared registries.
struct Fixture {
  Fixture() {
    auto mount = mounts.add("/stream", std::unique_ptr<rtsp::Packetizer>(new rtsp::H264Packetizer(
                                           rtsp::H264Packetizer::with_random_ssrc(96))));
    mounts.set_default("/stream");
    const auto frame = idr_frame();
    mount->with_packetizer([&](rtsp::Packetizer& p) { return p.packetize(frame, 3000); });
  }

  MethodHandler handler() {
    return MethodHandler(*rtsp::SocketAddress::parse("127.0.0.1:40000"), sessions, mounts, config);
  }

  // SETUP on `h`; the new session id.
  static std::string setup(MethodHandler& h) {
    const RtspResponse r = h.handle(*RtspRequest::parse(setup_text()));
    const rtsp::Header* session = rtsp::find_header(r.headers, "Session");
    if (session == nullptr) return {};  // the benchmark using it then skips
    return session->value.substr(0, session->value.find(';'));
  }

  rtsp::MountRegistry mounts;
  rtsp::SessionManager sessions;
  std::shared_ptr<rtsp::ServerConfig> config = std::make_shared<rtsp::ServerConfig>();
};

// parse + handle + serialize of one request text; bytes are request + answer.
// A request that is not answered 200 would time an error path: skipped.
void round_trip(benchmark::State& state, MethodHandler& h, const std::string& text) {
  if (const auto status = h.handle(*RtspRequest::parse(text)).status_code; status != 200) {
    state.SkipWithError(("answered " + std::to_string(status)).c_str());
    return;
  }
  std::int64_t bytes = 0;
  for (auto _ : state) {
    auto request = RtspRequest::parse(text);
    const RtspResponse response = h.handle(*request);
    const std::string wire = response.serialize();
    benchmark::DoNotOptimize(wire.data());
    bytes += static_cast<std::int64_t>(text.size() + wire.size());
  }
  state.SetBytesProcessed(bytes);
}

void BM_Options(benchmark::State& state) {
  Fixture f;
  auto h = f.handler();
  round_trip(state, h, options_text());
}

void BM_Describe(benchmark::State& state) {
  Fixture f;
  auto h = f.handler();
  round_trip(state, h, describe_text());
}

// SETUP creates a session and subscribes it; each iteration also tears it
// down so the registries stay the same size from one iteration to the next.
void BM_SetupTeardown(benchmark::State& state) {
  Fixture f;
  auto h = f.handler();
  const std::string setup = setup_text();
  std::int64_t bytes = 0;
  for (auto _ : state) {
    const RtspResponse created = h.handle(*RtspRequest::parse(setup));
    const std::string created_wire = created.serialize();
    const rtsp::Header* session = rtsp::find_header(created.headers, "Session");
    if (created.status_code != 200 || session == nullptr) {
      state.SkipWithError("SETUP not answered 200");
      break;
    }
    const std::string teardown = with_session("TEARDOWN", "rtsp://127.0.0.1:8554/stream", "4",
                                              session->value.substr(0, session->value.find(';')));
    const RtspResponse removed = h.handle(*RtspRequest::parse(teardown));
    const std::string removed_wire = removed.serialize();
    benchmark::DoNotOptimize(removed_wire.data());
    if (removed.status_code != 200) {
      state.SkipWithError("TEARDOWN not answered 200");
      break;
    }
    bytes += static_cast<std::int64_t>(setup.size() + created_wire.size() + teardown.size() +
                                       removed_wire.size());
  }
  state.SetBytesProcessed(bytes);
}

// PLAY on an existing session, with `state.range(0)` other sessions registered.
void BM_Play(benchmark::State& state) {
  Fixture f;
  auto others = f.handler();
  for (std::int64_t i = 0; i < state.range(0); ++i) Fixture::setup(others);
  auto h = f.handler();
  const std::string id = Fixture::setup(h);
  round_trip(
      state, h,
      with_session("PLAY", "rtsp://127.0.0.1:8554/stream", "4", id, "Range: npt=0.000-\r\n"));
}

// The keepalive a playing client sends, echoing its session.
void BM_GetParameter(benchmark::State& state) {
  Fixture f;
  auto others = f.handler();
  for (std::int64_t i = 0; i < state.range(0); ++i) Fixture::setup(others);
  auto h = f.handler();
  const std::string id = Fixture::setup(h);
  round_trip(state, h, with_session("GET_PARAMETER", "rtsp://127.0.0.1:8554/stream", "5", id));
}

// The pieces alone, on the largest typical request and answer.
void BM_ParseSetup(benchmark::State& state) {
  const std::string text = setup_text();
  for (auto _ : state) {
    auto request = RtspRequest::parse(text);
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}

void BM_SerializeDescribe(benchmark::State& state) {
  Fixture f;
  auto h = f.handler();
  const RtspResponse response = h.handle(*RtspRequest::parse(describe_text()));
  std::int64_t bytes = 0;
  for (auto _ : state) {
    const std::string wire = response.serialize();
    benchmark::DoNotOptimize(wire.data());
    bytes += static_cast<std::int64_t>(wire.size());
  }
  state.SetBytesProcessed(bytes);
}

BENCHMARK(BM_Options);
BENCHMARK(BM_Describe);
BENCHMARK(BM_SetupTeardown);
BENCHMARK(BM_Play)->Arg(0)->Arg(100);
BENCHMARK(BM_GetParameter)->Arg(0)->Arg(100);
BENCHMARK(BM_ParseSetup);
BENCHMARK(BM_SerializeDescribe);

}  // namespace

BENCHMARK_MAIN();
