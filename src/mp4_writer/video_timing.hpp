// Sample durations and composition offsets of the video track, from each access unit's own
// timestamps.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "mp4_writer/timeline.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::mp4w {

inline constexpr std::uint32_t kDefaultVideoSampleDelta = 3000;

// A sample's duration from two decode times, and its composition offset, as the tables hold them.
inline std::uint32_t saturate_u32(std::int64_t v) {
  if (v <= 0) return 0;
  return static_cast<std::uint32_t>(std::min<std::int64_t>(v, std::numeric_limits<std::uint32_t>::max()));
}
inline std::int32_t clamp_i32(std::int64_t v) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

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
    ts::ClockUnwrapper dts_clock_;
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

// Each access unit's decode time (90 kHz, on the continuous clock of UnitWalk) and PTS − DTS,
// as compute_video_timing derives them for the whole stream, for a stream that arrives a unit
// at a time: each is decided once what decides it has come, so that it does not depend on how
// much of the stream had arrived. A unit's decode time is decided by the first believed decode
// time at or after it (and, before the first, by the second), its PTS − DTS by the last PTS at
// or before it (before the first, by the first); at the end of the stream, all are. A unit that
// kLiveTimingHorizon units have followed without deciding it is timed from what came before
// it, as if the stream had ended there. Holds the times of the units decided and still asked
// for, and the PTS − DTS of those not yet decided (at most the horizon).
inline constexpr std::size_t kLiveTimingHorizon = 128;
class LiveUnitTimes {
 public:
  // The next unit, with the timestamps of the PES it is the first to begin in, if any.
  void add(const ts::PesTimestamps* times);
  // The stream ended: every unit is decided.
  void finish();
  std::size_t count() const { return count_; }
  bool any_pts() const { return carried_.has_value(); }
  // Whether unit i's times are decided (then so are those of every unit before it).
  bool decided(std::size_t i) const { return i < first_ + decided_.size(); }
  // Unit i's decode time and PTS − DTS, once decided and until forgotten.
  std::int64_t decode(std::size_t i) const { return decided_[i - first_].first; }
  std::int64_t composition(std::size_t i) const { return decided_[i - first_].second; }
  // The units before `unit` are asked for no more.
  void forget(std::size_t unit);
  // Whether some unit was timed at the horizon, before what decides it over the whole stream.
  bool timed_at_horizon() const { return timed_at_horizon_; }

 private:
  void decide();
  bool timed_at_horizon_ = false;

  std::size_t count_ = 0, first_ = 0;  // first_: the first unit in decided_
  bool ended_ = false;
  UnitWalk::Clocks clocks_;
  std::vector<UnitWalk::Known> known_;
  std::deque<std::pair<std::int64_t, std::int64_t>> decided_;  // decode time, PTS − DTS
  std::deque<std::int64_t> pending_;     // PTS − DTS of the units after them
  std::optional<std::int64_t> carried_;  // the last PTS − DTS
};

}  // namespace plexo::mp4w
