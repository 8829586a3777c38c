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
constexpr std::uint8_t kAacDescriptor = 0x7C;  // DVB: MPEG-4 AAC in ADTS
constexpr std::uint8_t kLanguageDescriptor = 0x0A;

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
  bool confirm_adts = false;   // private data that is AAC only if it opens with ADTS
};

// What an elementary stream's descriptors say: the codec of private data (DVB signals AC-3,
// E-AC-3 and AAC by their own descriptors, others by a registration descriptor's format
// identifier; the first that names one counts) and the language.
struct Descriptors {
  std::optional<Classified> codec;
  Language language = kUndetermined;
  bool has_language = false;
};

// The first ISO 639-2 code of a language descriptor: three letters, else "und".
Language read_language(ByteView body) {
  Language language = kUndetermined;
  if (body.size() < 3) return language;
  for (std::size_t i = 0; i < 3; ++i) {
    std::uint8_t c = body[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<std::uint8_t>(c + ('a' - 'A'));
    if (c < 'a' || c > 'z') return kUndetermined;
    language[i] = static_cast<char>(c);
  }
  return language;
}

// Walks the descriptors as far as `info` holds whole ones; a descriptor cut short ends it.
Descriptors read_descriptors(ByteView info) {
  Descriptors found;
  for (std::size_t d = 0; d + 2 <= info.size() && d + 2 + info[d + 1] <= info.size();
       d += 2 + info[d + 1]) {
    const std::uint8_t tag = info[d], length = info[d + 1];
    const ByteView body = info.subspan(d + 2, length);
    if (tag == kLanguageDescriptor && !found.has_language) {
      found.language = read_language(body);
      found.has_language = true;
      continue;
    }
    if (found.codec) continue;
    if (tag == kAc3Descriptor) found.codec = Classified{StreamKind::kAudio, AudioCodec::kAc3};
    else if (tag == kEnhancedAc3Descriptor) found.codec = Classified{StreamKind::kAudio, AudioCodec::kEac3};
    else if (tag == kAacDescriptor) found.codec = Classified{StreamKind::kAudio, AudioCodec::kAac};
    else if (tag == kDtsDescriptor) found.codec = Classified{StreamKind::kOtherAudio, AudioCodec::kNone, "DTS audio"};
    else if (tag == kRegistrationDescriptor && length >= 4) {
      auto is = [&](const char* id) { return std::memcmp(body.data(), id, 4) == 0; };
      if (is("AC-3")) found.codec = Classified{StreamKind::kAudio, AudioCodec::kAc3};
      else if (is("EAC3")) found.codec = Classified{StreamKind::kAudio, AudioCodec::kEac3};
      else if (is("Opus")) found.codec = Classified{StreamKind::kOtherAudio, AudioCodec::kNone, "Opus audio"};
      else if (is("DTS1") || is("DTS2") || is("DTS3")) found.codec = Classified{StreamKind::kOtherAudio, AudioCodec::kNone, "DTS audio"};
      else if (is("BSSD")) found.codec = Classified{StreamKind::kOtherAudio, AudioCodec::kNone, "AES3 audio"};
    }
  }
  return found;
}

// Private data (0x06) whose descriptors name no codec may still be AAC in ADTS (some muxers
// label it so, e.g. in 192-byte streams): its first PES data decides.
Classified classify_private(const Descriptors& descriptors) {
  if (descriptors.codec) return *descriptors.codec;
  Classified maybe_adts{StreamKind::kAudio, AudioCodec::kAac};
  maybe_adts.confirm_adts = true;
  return maybe_adts;
}

// H.264 and HEVC are converted and the other video codecs of transport streams refused by name; ADTS AAC, MPEG audio (whose frames may
// turn out to be ADTS), AC-3 and E-AC-3 are converted; the other audio codecs of broadcast
// and disc streams are recognised so that a programme can say which one it left out.
Classified classify(std::uint8_t stream_type, const Descriptors& descriptors) {
  switch (stream_type) {
    case kStreamTypeH264: case kStreamTypeHevc: return {StreamKind::kVideo};
    case kStreamTypeMpeg1Video: case kStreamTypeMpeg2Video: case kStreamTypeMpeg4Visual:
    case kStreamTypeVvc: case kStreamTypeVc1:
      return {StreamKind::kRefusedVideo};
    case kStreamTypeAdtsAac: return {StreamKind::kAudio, AudioCodec::kAac};
    case kStreamTypeMpeg1Audio: case kStreamTypeMpeg2Audio: return {StreamKind::kAudio, AudioCodec::kMpegAudio};
    case kStreamTypeAc3: return {StreamKind::kAudio, AudioCodec::kAc3};
    case kStreamTypeEac3: return {StreamKind::kAudio, AudioCodec::kEac3};
    case kStreamTypePrivateData: return classify_private(descriptors);
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

std::optional<ProgrammeStreams> read_pmt(ByteView payload, std::size_t payload_offset,
                                         AudioStreams audio_streams) {
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
  std::vector<StreamEntry> other_video;  // video entries after the first of each kind
  std::vector<AudioEntry> private_audio;  // private data that may hold ADTS
  while (e + 5 <= payload.size() && e < crc_start) {
    const StreamEntry entry{pid_at(payload, e + 1), payload[e]};
    const std::size_t info_length = length12_at(payload, e + 3);
    // The descriptors as far as the packet holds them.
    const ByteView info = payload.subspan(e + 5, std::min(info_length, payload.size() - (e + 5)));
    const Descriptors descriptors = read_descriptors(info);
    const Classified c = classify(entry.stream_type, descriptors);
    switch (c.kind) {
      case StreamKind::kVideo:
        if (!found.video) found.video = entry;
        else other_video.push_back(entry);
        break;
      case StreamKind::kRefusedVideo:
        if (!refused_video) refused_video = entry;
        else other_video.push_back(entry);
        break;
      case StreamKind::kAudio: {
        const AudioEntry audio{entry, c.codec, descriptors.language, c.confirm_adts};
        if (c.confirm_adts && audio_streams == AudioStreams::kFirst) private_audio.push_back(audio);
        else found.audio.push_back(audio);
        break;
      }
      case StreamKind::kOtherAudio:
        found.left_out.push_back({entry, "audio", c.name, nullptr});
        break;
      case StreamKind::kOther:
        found.left_out.push_back({entry, "stream", nullptr, "not audio or video of a converted kind"});
        break;
    }
    e += 5 + info_length;
  }
  if (!found.video) found.video = refused_video;
  else if (refused_video) found.left_out.push_back({*refused_video, "video", nullptr, "its codec is not converted"});
  for (const StreamEntry& video : other_video)
    found.left_out.push_back({video, "video", nullptr, "only the first video stream is converted"});
  if (audio_streams == AudioStreams::kFirst) {
    // One audio stream: the first whose codec is named, else the first private data.
    if (found.audio.empty() && !private_audio.empty()) {
      found.audio.push_back(private_audio.front());
      private_audio.erase(private_audio.begin());
    }
    for (std::size_t i = 1; i < found.audio.size(); ++i)
      found.left_out.push_back({found.audio[i].stream, "audio", audio_codec_name(found.audio[i].codec),
                                "only the first audio stream is converted"});
    if (found.audio.size() > 1) found.audio.resize(1);
    for (const AudioEntry& audio : private_audio)
      found.left_out.push_back({audio.stream, "stream", "private data", "not examined for ADTS audio"});
  }
  if (!found.video && found.audio.empty()) return std::nullopt;
  return found;
}

const char* audio_codec_name(AudioCodec codec) {
  switch (codec) {
    case AudioCodec::kAac: return "AAC audio";
    case AudioCodec::kMpegAudio: return "MPEG audio";
    case AudioCodec::kAc3: return "AC-3 audio";
    case AudioCodec::kEac3: return "E-AC-3 audio";
    case AudioCodec::kNone: break;
  }
  return "audio";
}

}  // namespace plexo::ts
