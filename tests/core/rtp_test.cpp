#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "capture_sink.hpp"
#include "media/random.hpp"
#include "media/rtp.hpp"

namespace rtsp {
namespace {

std::array<std::uint8_t, kRtpHeaderSize> next_header(RtpHeader& header, bool marker) {
  std::array<std::uint8_t, kRtpHeaderSize> out{};
  header.write_next(out.data(), marker);
  return out;
}

TEST(RtpHeader, WritesTheFixedLayoutInNetworkOrder) {
  RtpHeader header(96, 0xDEADBEEF);
  header.advance_timestamp(0x01020304);
  const auto bytes = next_header(header, true);
  const std::array<std::uint8_t, 12> expected{0x80, 0xE0, 0x00, 0x00, 0x01, 0x02,
                                              0x03, 0x04, 0xDE, 0xAD, 0xBE, 0xEF};
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(header.sequence(), 1);
}

TEST(RtpHeader, SecondByteCombinesMarkerAndUnmaskedPayloadType) {
  struct Case {
    std::uint8_t pt;
    bool marker;
    std::uint8_t expected;
  };
  const Case cases[] = {
      {96, true, 0xE0},   {96, false, 0x60}, {0, false, 0x00},   {127, true, 0xFF},
      {128, false, 0x80}, {128, true, 0x80}, {200, false, 0xC8}, {255, false, 0xFF},
  };
  for (const auto& c : cases) {
    RtpHeader header(c.pt, 1);
    EXPECT_EQ(next_header(header, c.marker)[1], c.expected)
        << "pt " << int(c.pt) << " marker " << c.marker;
    EXPECT_EQ(header.payload_type(), c.pt);
  }
}

TEST(RtpHeader, SequenceWrapsAfter65535) {
  RtpHeader header(96, 7);
  EXPECT_EQ(header.sequence(), 0);
  for (int i = 0; i < 65535; ++i) next_header(header, false);
  EXPECT_EQ(header.sequence(), 65535);
  const auto last = next_header(header, false);
  EXPECT_EQ(last[2], 0xFF);
  EXPECT_EQ(last[3], 0xFF);
  const auto wrapped = next_header(header, false);
  EXPECT_EQ(wrapped[2], 0x00);
  EXPECT_EQ(wrapped[3], 0x00);
  EXPECT_EQ(header.sequence(), 1);
}

TEST(RtpHeader, TimestampCounterKeepsAllBitsAndWritesTheLow32) {
  RtpHeader header(96, 7);
  header.advance_timestamp(0xFFFFFFFF);
  header.advance_timestamp(0x11);
  EXPECT_EQ(header.timestamp(), 0x100000010ULL);
  const auto bytes = next_header(header, false);
  EXPECT_EQ(bytes[4], 0x00);
  EXPECT_EQ(bytes[5], 0x00);
  EXPECT_EQ(bytes[6], 0x00);
  EXPECT_EQ(bytes[7], 0x10);
}

TEST(RtpHeader, ConstructionEmitsDebugEventWithPayloadTypeAndHexSsrc) {
  test_support::ScopedCapture capture;
  RtpHeader a(96, 0x00ABCDEF);
  RtpHeader b(255, 0xFFFFFFFF);
  const auto events = capture->find("RTP header state created", "rtsp::media::rtp");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].level, log::Level::Debug);
  EXPECT_EQ(events[0].number("pt"), 96u);
  EXPECT_EQ(events[0].field("ssrc"), "0x00ABCDEF");
  EXPECT_EQ(events[1].number("pt"), 255u);
  EXPECT_EQ(events[1].field("ssrc"), "0xFFFFFFFF");
}

TEST(RtpHeader, RandomSsrcsDiffer) {
  test_support::ScopedCapture capture;
  const RtpHeader a = RtpHeader::with_random_ssrc(96);
  const RtpHeader b = RtpHeader::with_random_ssrc(96);
  EXPECT_NE(a.ssrc(), b.ssrc());
  EXPECT_EQ(a.sequence(), 0);
  EXPECT_EQ(a.timestamp(), 0u);
  EXPECT_EQ(capture->find("RTP header state created").size(), 2u);
}

TEST(RandomSource, ValuesDoNotRepeatAndCoverAllBits) {
  std::set<std::uint32_t> seen;
  std::uint32_t any_set = 0;
  std::uint32_t all_set = 0xFFFFFFFF;
  for (int i = 0; i < 4096; ++i) {
    const std::uint32_t v = random_u32();
    seen.insert(v);
    any_set |= v;
    all_set &= v;
  }
  EXPECT_GE(seen.size(), 4090u);
  EXPECT_EQ(any_set, 0xFFFFFFFFu);
  EXPECT_EQ(all_set, 0u);
}

TEST(RandomSource, ThreadsDrawIndependentStreams) {
  std::vector<std::uint32_t> first(4);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < first.size(); ++i) {
    threads.emplace_back([&first, i] { first[i] = random_u32(); });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::set<std::uint32_t>(first.begin(), first.end()).size(), first.size());
}

// A forked child inherits the parent's generator state; it must not go on to
// produce the parent's next values (two forked workers would share SSRCs).
TEST(RandomSource, ForkedChildDoesNotRepeatParentValues) {
  (void)random_u32();  // make sure the parent's generator is keyed
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::array<std::uint32_t, 2> values{random_u32(), random_u32()};
    const ssize_t written = write(fds[1], values.data(), sizeof values);
    _exit(written == sizeof values ? 0 : 1);
  }
  close(fds[1]);
  std::array<std::uint32_t, 2> from_child{};
  const ssize_t got = read(fds[0], from_child.data(), sizeof from_child);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_EQ(got, static_cast<ssize_t>(sizeof from_child));
  const std::array<std::uint32_t, 2> mine{random_u32(), random_u32()};
  EXPECT_NE(from_child, mine);
}

}  // namespace
}  // namespace rtsp
