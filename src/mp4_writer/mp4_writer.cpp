#include "mp4_writer/mp4_writer.hpp"

namespace plexo::mp4w {

Result<Buffer> write_mp4(ts::TsDemuxResult demuxed) {
  if (demuxed.video_es.empty()) return fail("No video data found");
  return fail("convert_ts_to_mp4 is not available yet", ErrorCategory::kUnsupported);
}

}  // namespace plexo::mp4w
