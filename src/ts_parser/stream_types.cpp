// Which codecs a programme's chosen streams really carry, for refusing what cannot be
// written as H.264 or HEVC and AAC.
#include <cstdio>
#include <string>

#include "ts_parser/ts_demux.hpp"

namespace plexo::ts {
namespace {

std::string type_text(std::uint8_t stream_type) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", stream_type);
  return text;
}

// MPEG-1 audio (stream_type 0x03) is ambiguous: the layer bits of the first frame header say
// whether it is MP2, MP3, or ADTS that a muxer labelled as MPEG audio.
std::optional<std::string> mpeg_audio_content(const ElementaryStream& es) {
  for (auto q = es.find(0xFF, 0, es.size()); q && *q + 1 < es.size(); q = es.find(0xFF, *q + 1, es.size())) {
    const std::uint8_t b1 = es.at(*q + 1);
    if ((b1 & 0xE0) != 0xE0) continue;  // 11-bit frame sync
    switch ((b1 >> 1) & 0x03) {
      case 0: return std::nullopt;  // layer 0: ADTS
      case 1: return "MP3 audio (MPEG audio layer III, ";
      case 2: return "MP2 audio (MPEG audio layer II, ";
      default: return "MPEG audio layer I (";
    }
  }
  return "MPEG-1 audio (";
}

}  // namespace

Status check_supported_video(const TsDemuxResult& result) {
  if (!result.video_pid || result.video_stream_type == kStreamTypeH264 ||
      result.video_stream_type == kStreamTypeHevc)
    return {};
  const char* name = result.video_stream_type == kStreamTypeVvc ? "VVC video" : "MPEG-2 video";
  return fail(std::string("Unsupported video stream: ") + name + " (stream_type " +
              type_text(result.video_stream_type) + "); only H.264 and HEVC video are converted");
}

Status check_supported_streams(const TsDemuxResult& result) {
  PLEXO_CHECK(check_supported_video(result));
  if (result.audio_pid && result.audio_stream_type != kStreamTypeAdtsAac && !result.audio.empty()) {
    if (auto found = mpeg_audio_content(result.audio))
      return fail("Unsupported audio stream: " + *found + "stream_type " +
                  type_text(result.audio_stream_type) + "); only ADTS AAC audio is converted");
  }
  return {};
}

}  // namespace plexo::ts
