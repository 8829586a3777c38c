// Which video codec a programme's chosen stream really carries, for refusing what cannot be
// written as H.264 or HEVC.
#include <cstdio>
#include <string>

#include "core/messages.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::ts {
namespace {

std::string type_text(std::uint8_t stream_type) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", stream_type);
  return text;
}

}  // namespace

Status check_supported_video(const TsDemuxResult& result) {
  if (!result.video_pid || result.video_stream_type == kStreamTypeH264 ||
      result.video_stream_type == kStreamTypeHevc)
    return {};
  const char* name = "MPEG-2 video (";
  switch (result.video_stream_type) {
    case kStreamTypeMpeg1Video: name = "MPEG-1 video ("; break;
    case kStreamTypeMpeg4Visual: name = "MPEG-4 Visual video ("; break;
    case kStreamTypeVvc: name = "VVC video ("; break;
    case kStreamTypeVc1: name = "VC-1 video ("; break;
    default: break;
  }
  return fail(msg::unsupported_video(name, type_text(result.video_stream_type)));
}

}  // namespace plexo::ts
