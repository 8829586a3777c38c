// Sample durations and composition offsets of the video track, from each access unit's own
// timestamps.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ts_parser/ts_demux.hpp"

namespace plexo::mp4w {

inline constexpr std::uint32_t kDefaultVideoSampleDelta = 3000;

struct VideoTiming {
  // One duration per sample, 90 kHz; empty when every sample lasts `uniform_duration`.
  std::vector<std::uint32_t> durations;
  std::uint32_t uniform_duration = 0;
  std::uint64_t duration = 0;  // their sum
  // One composition offset per sample; empty when every offset is 0.
  std::vector<std::int32_t> composition_offsets;

  std::uint32_t duration_of(std::size_t sample) const {
    return durations.empty() ? uniform_duration : durations[sample];
  }
  std::int32_t offset_of(std::size_t sample) const {
    return composition_offsets.empty() ? 0 : composition_offsets[sample];
  }

  bool negative_offsets = false;
  // The source PTS (33-bit clock) of the earliest presented picture, which media time 0
  // presents; absent when no access unit carries a timestamp.
  std::optional<std::uint64_t> presentation_start;
  std::uint64_t empty_edit = 0;  // movie time before the first picture
};

// The access units to time: how many, and the timestamps of those that carry them, in unit
// order. The timing walks the units and holds nothing per unit but what it returns.
struct TimedUnits {
  std::size_t count = 0;
  std::span<const ts::UnitStamp> stamps;
};

VideoTiming compute_video_timing(TimedUnits units);

// Each access unit's decode time (90 kHz, on one continuous clock that starts at the first
// unit's own) and its PTS − DTS, as compute_video_timing derives them.
struct UnitTimes {
  std::vector<std::int64_t> decode;
  std::vector<std::int64_t> composition;  // a unit without PTS keeps the one before's
  bool any_pts = false;
};
UnitTimes unit_times(TimedUnits units);

// The same timing for a stream that arrives a stretch at a time (a live stream cut into
// fragments): each stretch is timed as it completes, from its own units, the last unit of
// the stretch before and the first of the next. The first stretch fixes the composition
// offsets' common shift (the earliest picture it presents), as the whole stream's earliest
// picture does for compute_video_timing; over a stream whose earliest picture comes in its
// first stretch and whose units carry their timestamps, the results are the same.
struct StretchTiming {
  std::vector<std::uint32_t> durations;
  std::vector<std::int32_t> offsets;
};
class VideoTimeline {
 public:
  // `window`: the last unit of the stretch before (when `continued`), the units to time, then
  // the unit that follows them (unless `last`: the stream ended with them).
  StretchTiming time(TimedUnits window, bool continued, bool last);
  // Fixes the common shift from the first stretch's window (as time() does when it has not
  // been fixed yet).
  void fix_start(TimedUnits window);
  // The earliest presentation (decode time plus PTS − DTS) among units.
  static std::int64_t earliest(const UnitTimes& times);
  // The source PTS that media time 0 presents, once the first stretch has been timed.
  std::optional<std::uint64_t> presentation_start() const { return presentation_start_; }
  // The common shift of the composition offsets, once fixed.
  std::optional<std::int64_t> shift() const { return shift_; }

 private:
  std::optional<std::int64_t> shift_;
  std::optional<std::uint64_t> presentation_start_;
  std::uint32_t last_duration_ = 0;
  bool timed_ = false;
};

}  // namespace plexo::mp4w
