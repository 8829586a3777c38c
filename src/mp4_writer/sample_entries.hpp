// The sample descriptions (stsd payloads) of the converted file's two tracks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>

#include "core/buffer.hpp"
#include "mp4_writer/audio_timing.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::mp4w {

// avc1 (H.264) or hvc1 (HEVC) with the stream's picture size and, when its parameter sets are
// there, its avcC or hvcC; one such entry per generation of parameter sets, in stream order,
// or that of generation `generation` alone (a live stream's, whose later ones come later).
inline constexpr std::size_t kEveryGeneration = SIZE_MAX;
Buffer video_sample_description(const ts::TsDemuxResult& demuxed, std::size_t generation = kEveryGeneration);
// The picture size of generation `generation`; of the last for kEveryGeneration.
inline std::pair<std::uint16_t, std::uint16_t> generation_size(const ts::TsDemuxResult& demuxed,
                                                               std::size_t generation) {
  const std::size_t k = std::min(generation, demuxed.later_parameters.size());
  if (k == 0) return {demuxed.width, demuxed.height};
  return {demuxed.later_parameters[k - 1].width, demuxed.later_parameters[k - 1].height};
}
// The audio entry of the stream's codec with its channel count and rate: mp4a with an esds
// (AAC with its AudioSpecificConfig, MPEG-1 or MPEG-2 audio by object type), ac-3 with a dac3,
// ec-3 with a dec3.
Buffer audio_sample_description(const AudioTrackTiming& audio, const ts::TsDemuxResult& demuxed);

}  // namespace plexo::mp4w
