#include <algorithm>
#include <cstring>

#include "ts_parser/demux_state.hpp"

namespace plexo::ts {
namespace {

struct AdtsSplit {
  std::vector<std::vector<std::uint8_t>> frames;
  std::size_t consumed = 0;  // end of the last complete frame
  std::size_t resume = 0;    // no header starts before this position
  std::optional<AdtsConfig> first_config;
};

AdtsConfig read_config(ByteView header) {
  AdtsConfig config;
  config.object_type = static_cast<std::uint8_t>(((header[2] >> 6) & 0x03) + 1);
  config.sampling_frequency_index = static_cast<std::uint8_t>((header[2] >> 2) & 0x0F);
  config.channel_configuration =
      static_cast<std::uint8_t>(((header[2] & 0x01) << 2) | (header[3] >> 6));
  return config;
}

// The first q >= from with q + 7 < n that holds the 12-bit syncword (0xFF, then a byte
// whose high nibble is 0xF).
std::optional<std::size_t> find_syncword(ByteView bytes, std::size_t from) {
  const std::size_t n = bytes.size();
  for (std::size_t q = from; q + 7 < n; ++q) {
    const void* hit = std::memchr(bytes.data() + q, 0xFF, n - 7 - q);
    if (!hit) return std::nullopt;
    q = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - bytes.data());
    if (bytes[q + 1] >= 0xF0) return q;
  }
  return std::nullopt;
}

// Cuts the complete ADTS frames at the front of `bytes`, searching from `from` (earlier
// positions are known to start no header). Bytes between frames that do not start a header
// are skipped; a header whose frame_length cannot even hold itself ends the framing.
AdtsSplit split_adts_frames(ByteView bytes, std::size_t from) {
  AdtsSplit split;
  const std::size_t n = bytes.size();
  std::size_t a = 0;
  split.resume = from;
  while (a + 7 < n) {
    auto q = find_syncword(bytes, std::max(a, split.resume));
    if (!q) {
      split.resume = std::max(a, n >= 7 ? n - 7 : 0);
      break;
    }
    split.resume = *q;
    const std::size_t frame_length = (std::size_t{bytes[*q + 3] & 0x03u} << 11) |
                                     (std::size_t{bytes[*q + 4]} << 3) | (bytes[*q + 5] >> 5);
    if (frame_length <= 6 || *q + frame_length > n) break;
    const std::size_t header_length = (bytes[*q + 1] & 0x01) ? 7 : 9;  // protection_absent
    if (header_length < frame_length) {
      ByteView frame = bytes.subspan(*q + header_length, frame_length - header_length);
      split.frames.emplace_back(frame.begin(), frame.end());
      if (!split.first_config) split.first_config = read_config(bytes.subspan(*q, 7));
    }
    a = *q + frame_length;
    split.resume = a;
  }
  split.consumed = a;
  return split;
}

// Frames are stamped with the PTS of the PES that completed them.
std::size_t take_frames(TsDemuxResult& result) {
  AdtsSplit split = split_adts_frames(result.audio_pending.view(), result.audio_resume);
  result.audio_resume = split.resume;
  if (split.frames.empty()) return 0;
  if (!result.audio_config) result.audio_config = split.first_config;
  for (auto& frame : split.frames) {
    result.audio_frames.push_back(std::move(frame));
    result.audio_frame_pts.push_back(result.audio_pts);
  }
  return split.consumed;
}

void split_step(TsDemuxResult& result) {
  const std::size_t consumed = take_frames(result);
  if (consumed == 0) return;
  result.audio_resume -= consumed;
  auto& pending = result.audio_pending.vector();
  pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(consumed));
}

}  // namespace

void handle_audio_packet(TsDemuxResult& result, const PacketPayload& packet) {
  if (!packet.unit_start) {
    result.audio_pending.put(packet.bytes);
    split_step(result);
    return;
  }
  if (packet.offset >= kMinPesStartOffset) return;
  // Frames completed so far belong to the previous PES.
  if (!result.audio_pending.empty()) split_step(result);
  result.audio_pts = read_pes_header(packet.bytes).pts;
  if (auto start = pes_data_offset(packet.bytes)) result.audio_pending.put(packet.bytes.subspan(*start));
  split_step(result);
}

void flush_audio(TsDemuxResult& result) {
  if (!result.audio_pending.empty()) take_frames(result);
}

}  // namespace plexo::ts
