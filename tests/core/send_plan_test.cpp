// The send plan: which packets each message gathers, with which segment size,
// for which destination and from which socket. No socket is touched.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "transport/send_plan.hpp"

namespace rtsp {
namespace {

// Packets of the given sizes (the contents do not matter to the plan).
struct Frame {
  explicit Frame(const std::vector<std::size_t>& sizes) {
    for (const std::size_t size : sizes) storage.emplace_back(size, 0x80);
    for (const auto& bytes : storage) packets.emplace_back(bytes.data(), bytes.size());
  }
  std::vector<std::vector<std::uint8_t>> storage;
  std::vector<ByteSpan> packets;
};

std::vector<std::size_t> repeat(std::size_t size, std::size_t times,
                                std::vector<std::size_t> tail = {}) {
  std::vector<std::size_t> sizes(times, size);
  sizes.insert(sizes.end(), tail.begin(), tail.end());
  return sizes;
}

SocketAddress address(const char* text) { return *SocketAddress::parse(text); }

// A planned message without its destination.
struct Message {
  std::size_t first;
  std::size_t count;
  std::uint16_t segment;
  bool operator==(const Message&) const = default;
};

std::vector<Message> messages_to_send(const SendPlan& plan, SendSocket socket) {
  std::vector<Message> messages;
  for (const SendMessage& m : plan.messages_of(socket))
    messages.push_back({m.first, m.count, m.segment});
  return messages;
}

TEST(SendPlan, GathersRunsOfEqualPacketsWithinTheKernelsCaps) {
  struct Case {
    const char* name;
    std::vector<std::size_t> sizes;
    bool segmentation;
    std::vector<Message> expected;
  };
  const Case cases[] = {
      {"one packet", {500}, true, {{0, 1, 0}}},
      {"FU-A fragments, the last shorter", repeat(1412, 5, {300}), true, {{0, 6, 1412}}},
      {"a single NAL unit packet, then fragments",
       {40, 1412, 1412, 9},
       true,
       {{0, 1, 0}, {1, 3, 1412}}},
      {"a shorter packet ends a run", {1412, 700, 1412, 1412}, true, {{0, 2, 1412}, {2, 2, 1412}}},
      {"a larger packet starts a new run", {1000, 1000, 1412}, true, {{0, 2, 1000}, {2, 1, 0}}},
      {"64 segments at most", repeat(1000, 65), true, {{0, 64, 1000}, {64, 1, 0}}},
      {"65,507 bytes at most", repeat(1412, 50), true, {{0, 46, 1412}, {46, 4, 1412}}},
      {"exactly 65,507 bytes", {32753, 32753, 1}, true, {{0, 3, 32753}}},
      {"one byte over 65,507", {32753, 32753, 2}, true, {{0, 2, 32753}, {2, 1, 0}}},
      {"empty packets go alone", {0, 0, 5}, true, {{0, 1, 0}, {1, 1, 0}, {2, 1, 0}}},
      {"switched off", repeat(1412, 3), false, {{0, 1, 0}, {1, 1, 0}, {2, 1, 0}}},
  };
  const SocketAddress to[] = {address("127.0.0.1:5000")};
  for (const Case& c : cases) {
    const Frame frame(c.sizes);
    const SendPlan plan = plan_sends(frame.packets, to, c.segmentation, OpenSockets{});
    EXPECT_EQ(messages_to_send(plan, SendSocket::V4), c.expected) << c.name;
    EXPECT_TRUE(plan.messages_of(SendSocket::V6).empty()) << c.name;
  }
}

TEST(SendPlan, EachSocketCarriesItsDestinationsInOrder) {
  const Frame frame(repeat(1412, 3, {100}));
  const SocketAddress to[] = {address("127.0.0.1:5000"), address("[::1]:5002"),
                              address("[::ffff:127.0.0.2]:5004"), address("[::1]:5006")};
  const Message frame_message{0, 4, 1412};

  // A plan made over a used one comes out the same as a fresh one.
  SendPlan plan = plan_sends(Frame({1, 2, 3}).packets, to, false, OpenSockets{});
  for (int round = 0; round < 2; ++round) {
    plan = plan_sends(frame.packets, to, true, OpenSockets{}, std::move(plan));
    ASSERT_EQ(plan.routes.size(), 4u);
    std::vector<std::size_t> v4;
    std::vector<std::size_t> v6;
    for (const SendMessage& m : plan.messages_of(SendSocket::V4)) v4.push_back(m.destination);
    for (const SendMessage& m : plan.messages_of(SendSocket::V6)) v6.push_back(m.destination);
    EXPECT_EQ(v4, (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(v6, (std::vector<std::size_t>{1, 3}));
    EXPECT_EQ(messages_to_send(plan, SendSocket::V4),
              (std::vector<Message>{frame_message, frame_message}));
    EXPECT_EQ(messages_to_send(plan, SendSocket::V6),
              (std::vector<Message>{frame_message, frame_message}));
    // The mapped address goes out of the IPv4 socket as plain IPv4.
    EXPECT_EQ(plan.routes[2]->addr.to_string(), "127.0.0.2:5004");
    EXPECT_EQ(plan.routes[1]->addr.to_string(), "[::1]:5002");
  }

  // Without an IPv6 socket its destinations have no route and no messages.
  plan = plan_sends(frame.packets, to, true, OpenSockets{.v4 = true, .v6 = false}, std::move(plan));
  ASSERT_EQ(plan.routes.size(), 4u);
  for (const std::size_t d : {1, 3}) {
    ASSERT_FALSE(plan.routes[d]);
    EXPECT_EQ(plan.routes[d].error(), EAFNOSUPPORT);
  }
  EXPECT_TRUE(plan.routes[0] && plan.routes[2]);
  EXPECT_TRUE(plan.messages_of(SendSocket::V6).empty());
  EXPECT_EQ(plan.messages_of(SendSocket::V4).size(), 2u);
}

}  // namespace
}  // namespace rtsp
