#include "ts_parser/psi.hpp"

#include <cstring>

namespace plexo::ts {
namespace {

constexpr std::uint8_t kPatTableId = 0x00;
constexpr std::uint8_t kPmtTableId = 0x02;
// Sections must start early enough in the packet for their fixed fields to fit.
constexpr std::size_t kMaxPatPayloadOffset = 175;
constexpr std::size_t kMaxPmtPayloadOffset = 172;

constexpr std::uint8_t kStreamTypePrivateData = 0x06;
// Descriptors of an elementary stream's ES_info loop that name its audio codec.
constexpr std::uint8_t kRegistrationDescriptor = 0x05;
constexpr std::uint8_t kAc3Descriptor = 0x6A;
constexpr std::uint8_t kEnhancedAc3Descriptor = 0x7A;
constexpr std::uint8_t kDtsDescriptor = 0x7B;

std::uint16_t pid_at(ByteView b, std::size_t at) {
  return static_cast<std::uint16_t>(((b[at] & 0x1F) << 8) | b[at + 1]);
}
std::size_t length12_at(ByteView b, std::size_t at) {
  return (std::size_t{b[at] & 0x0Fu} << 8) | b[at + 1];
}

enum class StreamKind { kVideo, kRefusedVideo, kAudio, kOtherAudio, kOther };

struct Classified {
  StreamKind kind = StreamKind::kOther;
  AudioCodec codec = AudioCodec::kNone;
  const char* name = nullptr;  // of an audio codec that is not converted
};

// What the descriptors of a private-data stream (0x06) say it carries: DVB signals AC-3 and
// E-AC-3 by their own descriptors, others by a registration descriptor's format identifier.
Classified classify_private(ByteView info) {
  for (std::size_t d = 0; d + 2 <= info.size() && d + 2 + info[d + 1] <= info.size();
       d += 2 + info[d + 1]) {
    const std::uint8_t tag = info[d], length = info[d + 1];
    const ByteView body = info.subspan(d + 2, length);
    if (tag == kAc3Descriptor) return {StreamKind::kAudio, AudioCodec::kAc3};
    if (tag == kEnhancedAc3Descriptor) return {StreamKind::kAudio, AudioCodec::kEac3};
    if (tag == kDtsDescriptor) return {StreamKind::kOtherAudio, AudioCodec::kNone, "DTS audio"};
    if (tag == kRegistrationDescriptor && length >= 4) {
      auto is = [&](const char* id) { return std::memcmp(body.data(), id, 4) == 0; };
      if (is("AC-3")) return {StreamKind::kAudio, AudioCodec::kAc3};
      if (is("EAC3")) return {StreamKind::kAudio, AudioCodec::kEac3};
      if (is("Opus")) return {StreamKind::kOtherAudio, AudioCodec::kNone, "Opus audio"};
      if (is("DTS1") || is("DTS2") || is("DTS3")) return {StreamKind::kOtherAudio, AudioCodec::kNone, "DTS audio"};
      if (is("BSSD")) return {StreamKind::kOtherAudio, AudioCodec::kNone, "AES3 audio"};
    }
  }
  return {};
}

// H.264 and HEVC are converted and the other video codecs of transport streams refused by name; ADTS AAC, MPEG audio (whose frames may
// turn out to be ADTS), AC-3 and E-AC-3 are converted; the other audio codecs of broadcast
// and disc streams are recognised so that a programme can say which one it left out.
Classified classify(std::uint8_t stream_type, ByteView info) {
  switch (stream_type) {
    case kStreamTypeH264: case kStreamTypeHevc: return {StreamKind::kVideo};
    case kStreamTypeMpeg1Video: case kStreamTypeMpeg2Video: case kStreamTypeMpeg4Visual:
    case kStreamTypeVvc: case kStreamTypeVc1:
      return {StreamKind::kRefusedVideo};
    case kStreamTypeAdtsAac: return {StreamKind::kAudio, AudioCodec::kAac};
    case kStreamTypeMpeg1Audio: case kStreamTypeMpeg2Audio: return {StreamKind::kAudio, AudioCodec::kMpegAudio};
    case kStreamTypeAc3: return {StreamKind::kAudio, AudioCodec::kAc3};
    case kStreamTypeEac3: return {StreamKind::kAudio, AudioCodec::kEac3};
    case kStreamTypePrivateData: return classify_private(info);
    case 0x11: return {StreamKind::kOtherAudio, AudioCodec::kNone, "LATM AAC audio"};
    case 0x1C: return {StreamKind::kOtherAudio, AudioCodec::kNone, "MPEG-4 audio"};
    case 0x80: return {StreamKind::kOtherAudio, AudioCodec::kNone, "LPCM audio"};
    case 0x82: case 0x85: case 0x86: case 0xA2: return {StreamKind::kOtherAudio, AudioCodec::kNone, "DTS audio"};
    case 0x83: return {StreamKind::kOtherAudio, AudioCodec::kNone, "Dolby TrueHD audio"};
    case 0x84: case 0xA1: return {StreamKind::kOtherAudio, AudioCodec::kNone, "E-AC-3 secondary audio"};
    default: return {};
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

  ProgrammeStreams found;
  std::optional<StreamEntry> refused_video;
  while (e + 5 <= payload.size() && e < crc_start) {
    const StreamEntry entry{pid_at(payload, e + 1), payload[e]};
    const std::size_t info_length = length12_at(payload, e + 3);
    // The descriptors as far as the packet holds them.
    const ByteView info = payload.subspan(e + 5, std::min(info_length, payload.size() - (e + 5)));
    const Classified c = classify(entry.stream_type, info);
    switch (c.kind) {
      case StreamKind::kVideo:
        if (!found.video) found.video = entry;
        break;
      case StreamKind::kRefusedVideo:
        if (!refused_video) refused_video = entry;
        break;
      case StreamKind::kAudio:
        if (!found.audio) found.audio = entry, found.audio_codec = c.codec;
        break;
      case StreamKind::kOtherAudio:
        if (!found.left_out_audio) found.left_out_audio = entry, found.left_out_name = c.name;
        break;
      case StreamKind::kOther: break;
    }
    e += 5 + info_length;
  }
  if (!found.video) found.video = refused_video;
  if (found.audio) found.left_out_audio.reset();
  if (!found.video && !found.audio) return std::nullopt;
  return found;
}

}  // namespace plexo::ts
