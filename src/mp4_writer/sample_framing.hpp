// Access units and audio frames as MP4 samples, copied from the input into the file once.
#pragma once

#include <cstdint>

#include "core/buffer.hpp"
#include "core/error.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::mp4w {

// The bytes each track's samples take in mdat. Fails when one access unit does not fit a
// 32-bit sample size.
Result<std::uint64_t> video_media_bytes(const ts::TsDemuxResult& demuxed);
std::uint64_t audio_media_bytes(const ts::TsDemuxResult& demuxed);

// Appends every access unit in length-prefixed form: for each NAL unit a 4-byte length, then
// its bytes (header byte first) gathered from the packet payloads.
void write_video_samples(Buffer& out, const ts::TsDemuxResult& demuxed);
// Appends every raw AAC frame.
void write_audio_frames(Buffer& out, const ts::TsDemuxResult& demuxed);

}  // namespace plexo::mp4w
