// The sample descriptions (stsd payloads) of the converted file's two tracks.
#pragma once

#include "core/buffer.hpp"
#include "mp4_writer/audio_timing.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::mp4w {

// avc1 (H.264) or hvc1 (HEVC) with the stream's picture size and, when its parameter sets are
// there, its avcC or hvcC.
Buffer video_sample_description(const ts::TsDemuxResult& demuxed);
// mp4a with the stream's channel count and rate and an esds carrying its AudioSpecificConfig.
Buffer audio_sample_description(const AudioTrackTiming& audio);

}  // namespace plexo::mp4w
