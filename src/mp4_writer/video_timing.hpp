// Sample durations and composition offsets of the video track, from the PES timestamps.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "mp4_writer/sample_framing.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::mp4w {

inline constexpr std::uint32_t kDefaultVideoSampleDelta = 3000;

struct VideoTiming {
  std::uint32_t sample_delta = kDefaultVideoSampleDelta;  // one duration for every sample
  std::uint64_t duration = 0;                             // sample_delta × sample count
  // One composition offset per sample; empty when every offset is 0.
  std::vector<std::int32_t> composition_offsets;
  bool negative_offsets = false;
  // The source PTS (unwrapped, 90 kHz) of what is presented at movie time 0; absent when no
  // sample can be tied to a PTS.
  std::optional<std::int64_t> presentation_origin;
  std::optional<std::uint64_t> presentation_origin_raw;  // the same on the 33-bit clock
};

VideoTiming compute_video_timing(const ts::TsDemuxResult& demuxed,
                                 const std::vector<VideoSample>& samples);

}  // namespace plexo::mp4w
