#include "protocol/sdp.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture_sink.hpp"
#include "fake_packetizer.hpp"
#include "media/h264.hpp"
#include "media/packetizer.hpp"
#include "media/rtp.hpp"
#include "mount.hpp"

namespace rtsp {
namespace {

using test_support::ScopedCapture;

std::shared_ptr<Mount> h264_mount() {
  return std::make_shared<Mount>("/stream",
                                 std::make_unique<H264Packetizer>(RtpHeader::with_random_ssrc(96)));
}

std::shared_ptr<Mount> fixed_mount(std::uint8_t payload_type, std::vector<std::string> attributes) {
  test_support::FakePacketizerSettings settings;
  settings.payload_type = payload_type;
  settings.attributes = std::move(attributes);
  return std::make_shared<Mount>(
      "/stream", std::make_unique<test_support::FakePacketizer>(std::move(settings)));
}

std::string default_sdp(Mount& mount, std::string_view host) {
  return generate_sdp(mount, host, "0", "0", "-", "Stream");
}

TEST(GenerateSdp, DefaultMountGivesElevenLines) {
  auto mount = h264_mount();
  EXPECT_EQ(default_sdp(*mount, "192.0.2.10"),
            "v=0\r\n"
            "o=- 0 0 IN IP4 192.0.2.10\r\n"
            "s=Stream\r\n"
            "c=IN IP4 192.0.2.10\r\n"
            "t=0 0\r\n"
            "a=tool:mirovid\r\n"
            "a=sendonly\r\n"
            "m=video 0 RTP/AVP 96\r\n"
            "a=rtpmap:96 H264/90000\r\n"
            "a=fmtp:96 packetization-mode=1\r\n"
            "a=control:track1\r\n");
}

TEST(GenerateSdp, FmtpCarriesParameterSetsOnceCaptured) {
  auto mount = h264_mount();
  const std::vector<std::uint8_t> frame = {
      0x00, 0x00, 0x00, 0x01, 0x67, 0x42, 0xC0, 0x1F, 0x8C, 0x8D, 0x40,  // SPS
      0x00, 0x00, 0x00, 0x01, 0x68, 0xCE, 0x3C, 0x80,                    // PPS
      0x00, 0x00, 0x01, 0x65, 0x88, 0x84, 0x00,                          // IDR slice
  };
  mount->with_packetizer([&](Packetizer& p) { return p.packetize(frame, 3000); });

  const std::string sdp = default_sdp(*mount, "192.0.2.10");
  EXPECT_NE(sdp.find("\r\na=fmtp:96 packetization-mode=1;profile-level-id=42c01f;"
                     "sprop-parameter-sets=Z0LAH4yNQA==,aM48gA==\r\n"
                     "a=control:track1\r\n"),
            std::string::npos)
      << sdp;
  EXPECT_TRUE(sdp.starts_with("v=0\r\no=- 0 0 IN IP4 192.0.2.10\r\n")) << sdp;
}

TEST(GenerateSdp, InputsInsertedVerbatim) {
  struct Case {
    const char* name;
    std::string host, session_id, session_version, username, session_name;
    std::string session_lines;  // lines 2 to 4
  };
  const Case cases[] = {
      {"IPv6 literal host", "2001:db8::1", "0", "0", "-", "Stream",
       "o=- 0 0 IN IP6 2001:db8::1\r\ns=Stream\r\nc=IN IP6 2001:db8::1\r\n"},
      {"IPv6 literal with a zone", "fe80::1%eth0", "0", "0", "-", "Stream",
       "o=- 0 0 IN IP6 fe80::1%eth0\r\ns=Stream\r\nc=IN IP6 fe80::1%eth0\r\n"},
      {"IPv4-mapped IPv6", "::ffff:192.0.2.1", "0", "0", "-", "Stream",
       "o=- 0 0 IN IP6 ::ffff:192.0.2.1\r\ns=Stream\r\nc=IN IP6 ::ffff:192.0.2.1\r\n"},
      {"not an address", "[", "0", "0", "-", "Stream",
       "o=- 0 0 IN IP4 [\r\ns=Stream\r\nc=IN IP4 [\r\n"},
      {"DNS host", "camera.example", "0", "0", "-", "Stream",
       "o=- 0 0 IN IP4 camera.example\r\ns=Stream\r\nc=IN IP4 camera.example\r\n"},
      {"all inputs empty", "", "", "", "", "", "o=   IN IP4 \r\ns=\r\nc=IN IP4 \r\n"},
      {"inputs in their own places", "h", "123", "456", "alice", "Front door",
       "o=alice 123 456 IN IP4 h\r\ns=Front door\r\nc=IN IP4 h\r\n"},
      {"UTF-8 session name", "h", "0", "0", "-", "Caf\u00e9 \u3000",
       "o=- 0 0 IN IP4 h\r\ns=Caf\u00e9 \u3000\r\nc=IN IP4 h\r\n"},
      {"session name with CR LF splits the line", "h", "0", "0", "-", "a\r\nb",
       "o=- 0 0 IN IP4 h\r\ns=a\r\nb\r\nc=IN IP4 h\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto mount = fixed_mount(96, {"a=x"});
    const std::string sdp =
        generate_sdp(*mount, c.host, c.session_id, c.session_version, c.username, c.session_name);
    EXPECT_EQ(sdp, "v=0\r\n" + c.session_lines +
                       "t=0 0\r\na=tool:mirovid\r\na=sendonly\r\nm=video 0 RTP/AVP 96\r\na=x\r\n");
  }
}

TEST(GenerateSdp, MediaSectionFromThePacketizer) {
  struct Case {
    const char* name;
    std::uint8_t payload_type;
    std::vector<std::string> attributes;
    std::string media;  // from line 8 on
  };
  const Case cases[] = {
      {"payload type 0",
       0,
       {"a=rtpmap:0 PCMU/8000"},
       "m=video 0 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n"},
      {"payload type 255 is not masked",
       255,
       {"a=one", "a=two"},
       "m=video 0 RTP/AVP 255\r\na=one\r\na=two\r\n"},
      {"payload type 127", 127, {"a=x"}, "m=video 0 RTP/AVP 127\r\na=x\r\n"},
      {"payload type 128", 128, {"a=x"}, "m=video 0 RTP/AVP 128\r\na=x\r\n"},
      {"no attribute lines ends with the m line", 96, {}, "m=video 0 RTP/AVP 96\r\n"},
      {"attribute lines unchanged and in order",
       5,
       {"a=z", "", "a=a b"},
       "m=video 0 RTP/AVP 5\r\na=z\r\n\r\na=a b\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto mount = fixed_mount(c.payload_type, c.attributes);
    EXPECT_EQ(default_sdp(*mount, "h"),
              "v=0\r\no=- 0 0 IN IP4 h\r\ns=Stream\r\nc=IN IP4 h\r\nt=0 0\r\n"
              "a=tool:mirovid\r\na=sendonly\r\n" +
                  c.media);
  }
}

TEST(GenerateSdp, EndsInOneCrLfWithNoBareLineFeed) {
  for (auto mount : {h264_mount(), fixed_mount(0, {}), fixed_mount(255, {"a=x"})}) {
    const std::string sdp = default_sdp(*mount, "192.0.2.10");
    ASSERT_TRUE(sdp.ends_with("\r\n"));
    EXPECT_FALSE(sdp.ends_with("\r\n\r\n"));
    for (std::size_t i = 0; i < sdp.size(); ++i) {
      if (sdp[i] == '\n') {
        EXPECT_TRUE(i > 0 && sdp[i - 1] == '\r') << "bare LF at " << i;
      }
    }
  }
}

std::vector<test_support::CapturedEvent> sdp_events(const test_support::CaptureSink& sink) {
  std::vector<test_support::CapturedEvent> out;
  for (auto& event : sink.events()) {
    if (event.target == "rtsp::protocol::sdp") out.push_back(std::move(event));
  }
  return out;
}

TEST(GenerateSdp, DebugEventHoldsTheDescriptionWithoutItsFinalCrLf) {
  for (auto mount : {h264_mount(), fixed_mount(0, {})}) {
    ScopedCapture capture;
    const std::string sdp = default_sdp(*mount, "192.0.2.10");
    const auto events = sdp_events(*capture);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].level, log::Level::Debug);
    EXPECT_EQ(events[0].message, "SDP: " + sdp.substr(0, sdp.size() - 2));
    EXPECT_TRUE(events[0].fields.empty());
  }
}

}  // namespace
}  // namespace rtsp
