// Sample durations and composition offsets of the video track, from each access unit's own
// timestamps.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "mp4_writer/timeline.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::mp4w {

inline constexpr std::uint32_t kDefaultVideoSampleDelta = 3000;

struct VideoTiming {
  std::uint64_t duration = 0;  // of all samples, 90 kHz
  bool negative_offsets = false;  // some composition offset is
  // Subtracted from every PTS − DTS: the earliest picture is presented at media time 0.
  std::int64_t shift = 0;
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

// The track's duration, offsets and start; the samples' own durations and offsets are given
// by VideoSampleTimes.
VideoTiming compute_video_timing(TimedUnits units);

// The units in order, each with its decode time and PTS − DTS: the believed decode times (a
// decode time that does not move forward by at least a tick per unit is not), the units
// between them spread evenly, and those before the first or after the last at the nearest
// known spacing; a unit without PTS keeps the offset of the one before it (the first's,
// before the first). Holds only the units that carry timestamps.
class UnitWalk {
 public:
  struct StampClock {  // a unit with a PTS, on the continuous timeline
    std::size_t unit = 0;
    std::int64_t composition = 0;     // PTS − DTS
    std::optional<std::int64_t> dts;  // when believed
  };
  // Brings the stamps onto the timeline one after another, in unit order: decode times
  // unwrap against each other, and one is believed when it moved forward by at least a tick
  // per unit since the last believed.
  class Clocks {
   public:
    StampClock next(std::size_t unit, const ts::PesTimestamps& times);  // times.pts set

   private:
    ClockUnwrapper dts_clock_;
    std::optional<std::pair<std::size_t, std::int64_t>> last_;
  };
  struct Known {  // a unit with a believed decode time
    std::size_t unit;
    std::int64_t dts;
  };
  // The decode time of unit i among units whose believed decode times are `known` (in unit
  // order): between two, spread evenly; before the first or after the last, at the spacing
  // of the first two or the last two (a frame's worth with fewer).
  static std::int64_t decode(std::span<const Known> known, std::size_t i, std::size_t& segment);
  static std::int64_t first_step(std::span<const Known> known);
  static std::int64_t last_step(std::span<const Known> known);

  explicit UnitWalk(TimedUnits units);
  bool any_pts() const { return !clocks_.empty(); }
  // Unit i's decode time and PTS − DTS; i goes up by one from 0 from call to call.
  std::pair<std::int64_t, std::int64_t> next(std::size_t i);

 private:
  std::vector<StampClock> clocks_;
  std::vector<Known> known_;
  std::size_t segment_ = 0, next_clock_ = 0;
  std::optional<std::int64_t> carried_;
};

// Each sample's duration (90 kHz) and composition offset, as compute_video_timing derives
// them, worked out as the samples are read rather than listed: a track of millions of
// pictures keeps no table of them.
class VideoSampleTimes {
 public:
  VideoSampleTimes(TimedUnits units, std::int64_t shift);
  // Sample i's; i goes up by one from the call before, or starts again lower.
  std::pair<std::uint32_t, std::int32_t> at(std::size_t i);

 private:
  std::size_t count_;
  UnitWalk start_, walk_;
  std::int64_t shift_;
  bool started_ = false;
  std::size_t position_ = 0;                     // the unit `current_` is of
  std::pair<std::int64_t, std::int64_t> current_, ahead_;  // decode time and PTS − DTS
  std::int64_t previous_ = 0;                    // the decode time before current_'s
};

// Each access unit's decode time (90 kHz, on one continuous clock that starts at the first
// unit's own) and its PTS − DTS, as compute_video_timing derives them.
struct UnitTimes {
  std::vector<std::int64_t> decode;
  std::vector<std::int64_t> composition;  // a unit without PTS keeps the one before's
  bool any_pts = false;
};
UnitTimes unit_times(TimedUnits units);

// What unit_times gives the last of a run of units that grows a unit at a time, and the
// earliest presentation among them, for a cost per unit that does not grow with the run: a
// live stream's key frames are timed as they arrive, each among the units held before it.
class GrowingUnitTimes {
 public:
  // The next unit, with the timestamps of the PES it is the first to begin in, if any.
  void add(const ts::PesTimestamps* times);
  std::size_t count() const { return count_; }
  // Unit i's decode time (i < count()).
  std::int64_t decode(std::size_t i) const;
  // The last unit's PTS − DTS.
  std::int64_t composition() const { return carried_.value_or(0); }
  // The earliest presentation (decode time plus PTS − DTS) among the units (count() > 0).
  std::int64_t earliest() const;

 private:
  std::size_t count_ = 0;
  UnitWalk::Clocks clocks_;
  std::vector<UnitWalk::Known> known_;
  std::optional<std::int64_t> first_composition_, carried_;
  // The PTS − DTS of each unit from the last believed decode time on, whose decode times the
  // next believed one will change; the earliest presentation among them and among those before.
  std::vector<std::int64_t> open_;
  std::int64_t open_earliest_ = 0, settled_earliest_ = 0;
  bool settled_ = false;
};

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
