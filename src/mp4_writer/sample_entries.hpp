// The sample descriptions (stsd payloads) of the converted file's two tracks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "codecs/sei.hpp"
#include "codecs/video_usability.hpp"
#include "core/buffer.hpp"
#include "mp4_writer/audio_timing.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::mp4w {

// How the stream's pictures are to be shown, from its SPS's VUI and its SEI: the sample aspect
// ratio when it is usable (both terms set, neither more than 16 times the other, and a
// display width below 65536 pixels), the colour description, the HDR metadata.
struct VideoPresentation {
  std::optional<vui::SampleAspectRatio> aspect_ratio;
  std::optional<vui::ColourDescription> colour;
  sei::HdrMetadata hdr;
};
// Of the generation of parameter sets whose SPS is `sps` and whose pictures are `width` wide.
VideoPresentation video_presentation(const ts::TsDemuxResult& demuxed, const std::vector<std::uint8_t>* sps,
                                     std::uint16_t width);

// avc1 (H.264) or hvc1 (HEVC) with the stream's picture size and, when its parameter sets are
// there, its avcC or hvcC; then pasp when the samples are not square, colr when the stream
// describes its colours, mdcv and clli when its SEI carry them. One such entry per generation
// of parameter sets, in stream order, or that of generation `generation` alone (a live
// stream's, whose later ones come later).
inline constexpr std::size_t kEveryGeneration = SIZE_MAX;
Buffer video_sample_description(const ts::TsDemuxResult& demuxed, std::size_t generation = kEveryGeneration);
// The size the track is shown at (tkhd, 16.16 each) for generation `generation` (the last one
// for kEveryGeneration): the picture's width stretched by its sample aspect ratio, and its
// height. With several entries the track header gives the last one's: ffmpeg compares it with
// the last entry's and reads any difference as non-square pixels in every picture.
std::pair<std::uint32_t, std::uint32_t> display_size(const ts::TsDemuxResult& demuxed, std::size_t generation);
// The audio entry of the stream's codec with its channel count and rate: mp4a with an esds
// (AAC with its AudioSpecificConfig, MPEG-1 or MPEG-2 audio by object type), ac-3 with a dac3,
// ec-3 with a dec3.
Buffer audio_sample_description(const AudioTrackTiming& audio, const ts::DemuxedAudio& demuxed);

}  // namespace plexo::mp4w
