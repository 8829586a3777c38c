#include "ts_parser/psi.hpp"

namespace plexo::ts {
namespace {

constexpr std::uint8_t kPatTableId = 0x00;
constexpr std::uint8_t kPmtTableId = 0x02;
// Sections must start early enough in the packet for their fixed fields to fit.
constexpr std::size_t kMaxPatPayloadOffset = 175;
constexpr std::size_t kMaxPmtPayloadOffset = 172;

std::uint16_t pid_at(ByteView b, std::size_t at) {
  return static_cast<std::uint16_t>(((b[at] & 0x1F) << 8) | b[at + 1]);
}
std::size_t length12_at(ByteView b, std::size_t at) {
  return (std::size_t{b[at] & 0x0Fu} << 8) | b[at + 1];
}

enum class StreamKind { kVideo, kAudio, kOther };

// H.262, H.264, HEVC and VVC are taken as video, MPEG-1 audio and ADTS AAC as audio; a
// programme whose streams turn out to be anything but H.264 or HEVC and ADTS AAC is refused
// after the scan, by name.
StreamKind classify(std::uint8_t stream_type) {
  switch (stream_type) {
    case 0x02: case 0x1B: case 0x24: case 0x33: return StreamKind::kVideo;
    case 0x03: case 0x0F: return StreamKind::kAudio;
    default: return StreamKind::kOther;
  }
}

}  // namespace

std::optional<std::uint16_t> read_pat(ByteView payload, std::size_t payload_offset) {
  if (payload_offset > kMaxPatPayloadOffset || payload.empty()) return std::nullopt;
  const std::size_t p = payload[0];  // pointer_field
  if (payload.size() <= p + 13 || payload[p + 1] != kPatTableId) return std::nullopt;
  // program_number 0 names the network information PID, not a programme; broadcast PATs
  // usually list it first. The loop ends at CRC_32, and the first entry is always read.
  const std::size_t section_end = p + 4 + length12_at(payload, p + 2);
  for (std::size_t e = p + 9; e + 4 <= payload.size() && (e == p + 9 || e + 8 <= section_end);
       e += 4) {
    const std::uint16_t program_number = static_cast<std::uint16_t>((payload[e] << 8) | payload[e + 1]);
    if (program_number != 0) return pid_at(payload, e + 2);
  }
  return std::nullopt;
}

std::optional<ProgrammeStreams> read_pmt(ByteView payload, std::size_t payload_offset) {
  if (payload_offset > kMaxPmtPayloadOffset || payload.empty()) return std::nullopt;
  const std::size_t p = payload[0];
  if (payload.size() <= p + 13 || payload[p + 1] != kPmtTableId) return std::nullopt;
  const std::size_t section_length = length12_at(payload, p + 2);
  const std::size_t program_info_length = length12_at(payload, p + 11);
  const std::size_t crc_start = p + section_length;  // the entries stop at CRC_32
  std::size_t e = p + 13 + program_info_length;
  if (e + 5 > payload.size() || e >= crc_start) return std::nullopt;

  std::optional<std::uint16_t> video, audio;
  std::uint8_t video_type = 0, audio_type = 0;
  while (e + 5 <= payload.size() && e < crc_start) {
    const std::uint16_t pid = pid_at(payload, e + 1);
    switch (classify(payload[e])) {
      case StreamKind::kVideo:
        if (!video) video = pid, video_type = payload[e];
        break;
      case StreamKind::kAudio:
        if (!audio) audio = pid, audio_type = payload[e];
        break;
      case StreamKind::kOther: break;
    }
    e += 5 + length12_at(payload, e + 3);
  }
  if (!video || !audio) return std::nullopt;
  return ProgrammeStreams{*video, *audio, video_type, audio_type};
}

}  // namespace plexo::ts
