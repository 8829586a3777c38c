// Which video codec a programme's chosen stream really carries, for refusing what cannot be
// written as H.264.
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
  if (result.video_pid && result.video_stream_type != kStreamTypeH264)
    return fail(msg::unsupported_video("MPEG-2 video (", type_text(result.video_stream_type)));
  return {};
}

}  // namespace plexo::ts
