#include "media/h264.hpp"

#include <cstdio>
#include <cstring>
#include <utility>

#include "log.hpp"
#include "media/base64.hpp"

namespace rtsp {

namespace {

constexpr std::uint8_t kNalTypeSps = 7;
constexpr std::uint8_t kNalTypePps = 8;
constexpr std::uint8_t kNalTypeFuA = 28;
constexpr std::size_t kFuHeaderSize = 2;
constexpr std::size_t kFuChunkSize = H264Packetizer::kFuChunkSize;

std::size_t packets_for(std::size_t nal_size) noexcept {
  if (nal_size <= H264Packetizer::kMaxPayloadSize) return 1;
  return (nal_size - 1 + kFuChunkSize - 1) / kFuChunkSize;
}

std::string parameter_set_message(const char* which, std::size_t size) {
  std::string out = "H.264 ";
  out += which;
  out += " captured from bitstream (";
  out += std::to_string(size);
  out += " bytes)";
  return out;
}

}  // namespace

H264Packetizer::H264Packetizer(RtpHeader header) : header_(header) {}

H264Packetizer H264Packetizer::with_random_ssrc(std::uint8_t payload_type) {
  return H264Packetizer(RtpHeader::with_random_ssrc(payload_type));
}

std::vector<std::span<const std::uint8_t>> H264Packetizer::extract_nal_units(
    std::span<const std::uint8_t> data) {
  std::vector<std::span<const std::uint8_t>> units;
  const std::uint8_t* const base = data.data();
  const std::size_t size = data.size();

  // Every start code ends in the first 01 byte preceded by two zeros at or
  // after the resume position; a third zero before them makes it the 4-byte
  // form. Searching for the 01 byte is the same scan as testing each position.
  std::size_t pos = 0;         // where scanning resumes
  std::size_t unit_begin = 0;  // begin of the pending unit
  bool have_unit = false;
  auto close_unit = [&](std::size_t end) {
    if (have_unit && end > unit_begin) units.emplace_back(base + unit_begin, end - unit_begin);
  };

  std::size_t search = 2;
  while (search < size) {
    const void* hit = std::memchr(base + search, 0x01, size - search);
    if (hit == nullptr) break;
    const std::size_t j = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - base);
    if (base[j - 1] != 0 || base[j - 2] != 0) {
      search = j + 1;
      continue;
    }
    const std::size_t code_begin = (j >= pos + 3 && base[j - 3] == 0) ? j - 3 : j - 2;
    close_unit(code_begin);
    unit_begin = j + 1;
    have_unit = true;
    pos = j + 1;
    search = pos + 2;
  }
  close_unit(size);
  return units;
}

H264Packetizer::FramePlan H264Packetizer::plan(std::span<const std::uint8_t> frame,
                                               std::uint32_t timestamp_increment) {
  FramePlan plan{header_, extract_nal_units(frame), 0};

  if (!sps_ || !pps_) {
    for (const auto unit : plan.units) {
      const std::uint8_t type = unit[0] & 0x1F;
      if (type == kNalTypeSps && !sps_) {
        sps_.emplace(unit.begin(), unit.end());
        RTSP_EVENT(log::Level::Debug, "rtsp::media::h264",
                   parameter_set_message("SPS", unit.size()));
      } else if (type == kNalTypePps && !pps_) {
        pps_.emplace(unit.begin(), unit.end());
        RTSP_EVENT(log::Level::Debug, "rtsp::media::h264",
                   parameter_set_message("PPS", unit.size()));
      }
    }
  }

  for (const auto unit : plan.units) {
    const std::size_t packets = packets_for(unit.size());
    plan.packet_count += packets;
    if (unit.size() > kMaxPayloadSize) {
      RTSP_EVENT(log::Level::Trace, "rtsp::media::h264", "FU-A fragmented NAL unit",
                 {"nal_type", unit[0] & 0x1F}, {"nal_size", unit.size()}, {"fragments", packets});
    }
  }

  header_.skip(plan.packet_count);
  header_.advance_timestamp(timestamp_increment);
  RTSP_EVENT(log::Level::Trace, "rtsp::media::h264", "frame packetized",
             {"nal_count", plan.units.size()}, {"rtp_packets", plan.packet_count},
             {"frame_bytes", frame.size()}, {"seq", header_.sequence()},
             {"ts", header_.timestamp()});
  return plan;
}

std::vector<RtpPacket> H264Packetizer::packetize(std::span<const std::uint8_t> frame,
                                                 std::uint32_t timestamp_increment) {
  FramePlan frame_plan = plan(frame, timestamp_increment);
  std::vector<RtpPacket> packets;
  packets.reserve(frame_plan.packet_count);
  render(frame_plan, [&packets](std::size_t size) { return packets.emplace_back(size).data(); });
  return packets;
}

void H264Packetizer::write_single(RtpHeader& header, std::span<const std::uint8_t> nal, bool marker,
                                  std::uint8_t* out) noexcept {
  header.write_next(out, marker);
  std::memcpy(out + kRtpHeaderSize, nal.data(), nal.size());
}

void H264Packetizer::write_fragment(RtpHeader& header, std::span<const std::uint8_t> nal,
                                    std::size_t offset, std::size_t chunk, bool last_unit,
                                    std::uint8_t* out) noexcept {
  const std::uint8_t h = nal[0];
  const bool first = offset == 1;
  const bool final_chunk = offset + chunk == nal.size();
  header.write_next(out, last_unit && final_chunk);
  out[kRtpHeaderSize] = static_cast<std::uint8_t>((h & 0x60) | kNalTypeFuA);
  out[kRtpHeaderSize + 1] =
      static_cast<std::uint8_t>((first ? 0x80 : 0x00) | (final_chunk ? 0x40 : 0x00) | (h & 0x1F));
  std::memcpy(out + kRtpHeaderSize + kFuHeaderSize, nal.data() + offset, chunk);
}

std::vector<std::string> H264Packetizer::sdp_attributes() const {
  const std::string pt = std::to_string(header_.payload_type());
  std::vector<std::string> lines;
  lines.reserve(3);
  lines.push_back("a=rtpmap:" + pt + " H264/90000");

  std::string fmtp = "a=fmtp:" + pt + " packetization-mode=1";
  if (sps_ && sps_->size() >= 4) {
    char profile[7];
    std::snprintf(profile, sizeof profile, "%02x%02x%02x", (*sps_)[1], (*sps_)[2], (*sps_)[3]);
    fmtp += ";profile-level-id=";
    fmtp += profile;
  }
  if (sps_ && pps_) {
    fmtp += ";sprop-parameter-sets=";
    fmtp += base64_encode(*sps_);
    fmtp += ',';
    fmtp += base64_encode(*pps_);
  }
  lines.push_back(std::move(fmtp));
  lines.emplace_back("a=control:track1");
  return lines;
}

}  // namespace rtsp
