// Sample durations and composition offsets of the video track, from each access unit's own
// timestamps.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "ts_parser/ts_demux.hpp"

namespace plexo::mp4w {

inline constexpr std::uint32_t kDefaultVideoSampleDelta = 3000;

struct VideoTiming {
  std::vector<std::uint32_t> durations;  // one per sample, 90 kHz
  std::uint64_t duration = 0;            // their sum
  // One composition offset per sample; empty when every offset is 0.
  std::vector<std::int32_t> composition_offsets;
  bool negative_offsets = false;
  // The source PTS (33-bit clock) of the earliest presented picture, which media time 0
  // presents; absent when no access unit carries a timestamp.
  std::optional<std::uint64_t> presentation_start;
  std::uint64_t empty_edit = 0;  // movie time before the first picture
};

VideoTiming compute_video_timing(const std::vector<ts::AccessUnit>& units);

}  // namespace plexo::mp4w
