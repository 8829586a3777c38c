// Which codecs a programme's chosen streams really carry, for refusing what cannot be
// written as H.264 and AAC.
#include <cstdio>
#include <string>

#include "codecs/mpeg_audio/layer.hpp"
#include "core/messages.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::ts {
namespace {

std::string type_text(std::uint8_t stream_type) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", stream_type);
  return text;
}

// MPEG-1 audio (stream_type 0x03) is ambiguous: the layer bits of the first frame header say
// whether it is MP2, MP3, or ADTS that a muxer labelled as MPEG audio (which is converted).
std::optional<std::string> mpeg_audio_content(const ElementaryStream& es) {
  const auto layer = mpeg_audio::first_frame_layer(es);
  if (!layer) return "MPEG-1 audio (";
  switch (*layer) {
    case mpeg_audio::Layer::kAdts: return std::nullopt;
    case mpeg_audio::Layer::kLayer3: return "MP3 audio (MPEG audio layer III, ";
    case mpeg_audio::Layer::kLayer2: return "MP2 audio (MPEG audio layer II, ";
    case mpeg_audio::Layer::kLayer1: break;
  }
  return "MPEG audio layer I (";
}

}  // namespace

Status check_supported_video(const TsDemuxResult& result) {
  if (result.video_pid && result.video_stream_type != kStreamTypeH264)
    return fail(msg::unsupported_video("MPEG-2 video (", type_text(result.video_stream_type)));
  return {};
}

Status check_supported_streams(const TsDemuxResult& result) {
  PLEXO_CHECK(check_supported_video(result));
  if (!result.audio_pid || result.audio.empty()) return {};
  std::optional<std::string> found;
  if (result.audio_codec == AudioCodec::kMpegAudio) found = mpeg_audio_content(result.audio);
  else if (result.audio_codec == AudioCodec::kAc3) found = "AC-3 audio (";
  else if (result.audio_codec == AudioCodec::kEac3) found = "E-AC-3 audio (";
  if (found)
    return fail(msg::unsupported_audio(*found, type_text(result.audio_stream_type)));
  return {};
}

}  // namespace plexo::ts
