// The progressive MP4 writer for demultiplexed transport streams.
#pragma once

#include "core/buffer.hpp"
#include "core/error.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::mp4w {

// ftyp, moov, mdat from a demultiplexed stream. Fails with "No video data found" when the
// video stream is empty.
Result<Buffer> write_mp4(ts::TsDemuxResult demuxed);

}  // namespace plexo::mp4w
