// The sample descriptions (stsd payloads) of the converted file's two tracks.
#pragma once

#include "core/buffer.hpp"
#include "mp4_writer/audio_timing.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::mp4w {

// avc1 (H.264) or hvc1 (HEVC) with the stream's picture size and, when its parameter sets are
// there, its avcC or hvcC.
Buffer video_sample_description(const ts::TsDemuxResult& demuxed);
// The audio entry of the stream's codec with its channel count and rate: mp4a with an esds
// (AAC with its AudioSpecificConfig, MPEG-1 or MPEG-2 audio by object type), ac-3 with a dac3,
// ec-3 with a dec3.
Buffer audio_sample_description(const AudioTrackTiming& audio, const ts::DemuxedAudio& demuxed);

}  // namespace plexo::mp4w
