// Packetizer throughput on frames shaped like real encoder output.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "media/h264.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Slice data without start codes inside: random bytes with every zero
// followed by a non-zero byte.
void append_nal(Bytes& frame, std::uint8_t header, std::size_t size, std::mt19937& rng) {
  frame.insert(frame.end(), {0, 0, 0, 1, header});
  std::uint8_t previous = header;
  for (std::size_t i = 1; i < size; ++i) {
    auto b = static_cast<std::uint8_t>(rng());
    if (b == 0 && previous == 0) b = 0x5A;
    frame.push_back(b);
    previous = b;
  }
  if (frame.back() == 0) frame.back() = 0x80;
}

Bytes idr_frame() {
  std::mt19937 rng(1);
  Bytes frame;
  append_nal(frame, 0x09, 2, rng);      // access unit delimiter
  append_nal(frame, 0x67, 25, rng);     // SPS
  append_nal(frame, 0x68, 4, rng);      // PPS
  append_nal(frame, 0x65, 50000, rng);  // IDR slice
  return frame;
}

Bytes p_frame() {
  std::mt19937 rng(2);
  Bytes frame;
  append_nal(frame, 0x09, 2, rng);
  append_nal(frame, 0x41, 5000, rng);
  return frame;
}

void run_packetize(benchmark::State& state, const Bytes& frame) {
  auto packetizer = rtsp::H264Packetizer(rtsp::RtpHeader(96, 0x12345678));
  for (auto _ : state) {
    auto packets = packetizer.packetize(frame, 3000);
    benchmark::DoNotOptimize(packets.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(frame.size()));
}

void BM_PacketizeIdr(benchmark::State& state) { run_packetize(state, idr_frame()); }
void BM_PacketizeP(benchmark::State& state) { run_packetize(state, p_frame()); }

// An access unit of `size` bytes: a delimiter, parameter sets and one slice.
Bytes access_unit(std::size_t size) {
  std::mt19937 rng(3);
  Bytes frame;
  append_nal(frame, 0x09, 2, rng);
  append_nal(frame, 0x67, 25, rng);
  append_nal(frame, 0x68, 4, rng);
  append_nal(frame, 0x65, size - frame.size() - 4, rng);
  return frame;
}

// Per access unit of 5 KB to 1 MB; items are packets, so the per-packet
// cost reads directly off items_per_second.
void BM_PacketizeAccessUnit(benchmark::State& state) {
  const Bytes frame = access_unit(static_cast<std::size_t>(state.range(0)));
  auto packetizer = rtsp::H264Packetizer(rtsp::RtpHeader(96, 0x12345678));
  std::size_t packets_per_unit = 0;
  for (auto _ : state) {
    auto packets = packetizer.packetize(frame, 3000);
    packets_per_unit = packets.size();
    benchmark::DoNotOptimize(packets.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(packets_per_unit));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(frame.size()));
}

void BM_ExtractNalUnits(benchmark::State& state) {
  const Bytes frame = idr_frame();
  for (auto _ : state) {
    auto units = rtsp::H264Packetizer::extract_nal_units(frame);
    benchmark::DoNotOptimize(units.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(frame.size()));
}

BENCHMARK(BM_PacketizeIdr);
BENCHMARK(BM_PacketizeP);
BENCHMARK(BM_PacketizeAccessUnit)->Arg(5000)->Arg(50000)->Arg(250000)->Arg(1000000);
BENCHMARK(BM_ExtractNalUnits);

}  // namespace

BENCHMARK_MAIN();
