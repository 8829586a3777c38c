#include "mp4_writer/video_timing.hpp"

#include <algorithm>
#include <limits>

#include "mp4_writer/timeline.hpp"

namespace plexo::mp4w {
namespace {

std::vector<UnitWalk::StampClock> unwrap(TimedUnits units) {
  std::vector<UnitWalk::StampClock> clocks;
  UnitWalk::Clocks timeline;
  for (const ts::UnitStamp& stamp : units.stamps) {
    if (!stamp.times.pts || stamp.unit >= units.count) continue;
    clocks.push_back(timeline.next(static_cast<std::size_t>(stamp.unit), stamp.times));
  }
  return clocks;
}

std::uint32_t saturate_u32(std::int64_t v) {
  if (v <= 0) return 0;
  return static_cast<std::uint32_t>(std::min<std::int64_t>(v, std::numeric_limits<std::uint32_t>::max()));
}

std::int32_t clamp_i32(std::int64_t v) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

// A PES without DTS decodes at its PTS.
UnitWalk::StampClock UnitWalk::Clocks::next(std::size_t unit, const ts::PesTimestamps& times) {
  const std::uint64_t dts = times.dts.value_or(*times.pts);
  const std::int64_t t = dts_clock_.next(dts);
  StampClock clock{unit, clock_difference(*times.pts, dts), std::nullopt};
  if (last_ && t - last_->second < static_cast<std::int64_t>(unit - last_->first)) return clock;
  clock.dts = t;
  last_ = std::pair{unit, t};
  return clock;
}

namespace {

std::int64_t step_between(const UnitWalk::Known& a, const UnitWalk::Known& b) {
  return (b.dts - a.dts) / static_cast<std::int64_t>(b.unit - a.unit);
}

}  // namespace

std::int64_t UnitWalk::first_step(std::span<const Known> known) {
  return known.size() > 1 ? step_between(known[0], known[1]) : kDefaultVideoSampleDelta;
}

std::int64_t UnitWalk::last_step(std::span<const Known> known) {
  return known.size() > 1 ? step_between(known[known.size() - 2], known.back()) : kDefaultVideoSampleDelta;
}

std::int64_t UnitWalk::decode(std::span<const Known> known, std::size_t i, std::size_t& segment) {
  if (known.empty()) return static_cast<std::int64_t>(i) * kDefaultVideoSampleDelta;
  const Known& first = known.front();
  const Known& last = known.back();
  if (i < first.unit) return first.dts - static_cast<std::int64_t>(first.unit - i) * first_step(known);
  if (i >= last.unit) return last.dts + static_cast<std::int64_t>(i - last.unit) * last_step(known);
  while (known[segment + 1].unit <= i) ++segment;
  const Known& a = known[segment];
  const Known& b = known[segment + 1];
  return a.dts + (b.dts - a.dts) * static_cast<std::int64_t>(i - a.unit) / static_cast<std::int64_t>(b.unit - a.unit);
}

UnitWalk::UnitWalk(TimedUnits units) : clocks_(unwrap(units)) {
  for (const StampClock& clock : clocks_)
    if (clock.dts) known_.push_back({clock.unit, *clock.dts});
  if (!clocks_.empty()) carried_ = clocks_.front().composition;
}

std::pair<std::int64_t, std::int64_t> UnitWalk::next(std::size_t i) {
  if (next_clock_ < clocks_.size() && clocks_[next_clock_].unit == i) carried_ = clocks_[next_clock_++].composition;
  return {decode(known_, i, segment_), carried_.value_or(0)};
}

VideoSampleTimes::VideoSampleTimes(TimedUnits units, std::int64_t shift)
    : count_(units.count), start_(units), walk_(start_), shift_(shift) {}

std::pair<std::uint32_t, std::int32_t> VideoSampleTimes::at(std::size_t i) {
  if (!started_ || i < position_) {
    walk_ = start_;
    current_ = walk_.next(0);
    if (count_ > 1) ahead_ = walk_.next(1);
    position_ = 0;
    started_ = true;
  }
  while (position_ < i) {
    previous_ = current_.first;
    current_ = ahead_;
    ++position_;
    if (position_ + 1 < count_) ahead_ = walk_.next(position_ + 1);
  }
  // Each sample lasts until the next one decodes; the last lasts as long as the one before.
  const std::uint32_t duration = position_ + 1 < count_ ? saturate_u32(ahead_.first - current_.first)
                                 : count_ > 1          ? saturate_u32(current_.first - previous_)
                                                       : kDefaultVideoSampleDelta;
  return {duration, clamp_i32(current_.second - shift_)};
}

UnitTimes unit_times(TimedUnits units) {
  UnitTimes times;
  UnitWalk walk(units);
  times.any_pts = walk.any_pts();
  times.decode.reserve(units.count);
  times.composition.reserve(units.count);
  for (std::size_t i = 0; i < units.count; ++i) {
    const auto [decode, composition] = walk.next(i);
    times.decode.push_back(decode);
    times.composition.push_back(composition);
  }
  return times;
}

VideoTiming compute_video_timing(TimedUnits units) {
  VideoTiming timing;
  const std::size_t n = units.count;
  if (n == 0) return timing;
  const UnitWalk start(units);

  // Media time 0 presents the earliest picture: every offset moves by the same amount.
  UnitWalk walk = start;
  const auto [first_decode, first_composition] = walk.next(0);
  std::int64_t earliest = first_decode + first_composition;
  for (std::size_t i = 1; i < n; ++i) {
    const auto [decode, composition] = walk.next(i);
    earliest = std::min(earliest, decode + composition);
  }
  const std::int64_t shift = earliest - first_decode;

  // Each sample lasts until the next one decodes; the last lasts as long as the one before.
  // The samples' durations and offsets are not listed: VideoSampleTimes works them out again.
  walk = start;
  std::int64_t previous = 0;
  std::uint32_t last = kDefaultVideoSampleDelta;
  for (std::size_t i = 0; i < n; ++i) {
    const auto [decode, composition] = walk.next(i);
    if (i > 0) {
      last = saturate_u32(decode - previous);
      timing.duration += last;
    }
    previous = decode;
    timing.negative_offsets |= composition - shift < 0;
  }
  timing.duration += last;
  timing.shift = shift;
  if (start.any_pts()) {
    const auto wrap = static_cast<std::int64_t>(kClockWrap);
    timing.presentation_start = static_cast<std::uint64_t>(((earliest % wrap) + wrap) % wrap);
  }
  return timing;
}

void GrowingUnitTimes::add(const ts::PesTimestamps* times) {
  const std::size_t i = count_++;
  if (times && times->pts) {
    const UnitWalk::StampClock clock = clocks_.next(i, *times);
    carried_ = clock.composition;
    if (!first_composition_) first_composition_ = clock.composition;
    if (clock.dts) {
      // The units since the last believed decode time now lie between two: settled.
      if (!known_.empty()) {
        const UnitWalk::Known known[] = {known_.back(), {i, *clock.dts}};
        std::size_t segment = 0;
        for (std::size_t k = 0; k < open_.size(); ++k) {
          const std::int64_t presented = UnitWalk::decode(known, known[0].unit + k, segment) + open_[k];
          settled_earliest_ = settled_ ? std::min(settled_earliest_, presented) : presented;
          settled_ = true;
        }
      }
      known_.push_back({i, *clock.dts});
      open_.clear();
    }
  }
  if (known_.empty()) return;  // the units before the first believed decode time: see earliest()
  const std::int64_t presented =
      known_.back().dts + static_cast<std::int64_t>(i - known_.back().unit) * UnitWalk::last_step(known_) + *carried_;
  open_earliest_ = open_.empty() ? presented : std::min(open_earliest_, presented);
  open_.push_back(*carried_);
}

std::int64_t GrowingUnitTimes::decode(std::size_t i) const {
  std::size_t segment = 0;
  if (known_.size() > 1 && i >= known_[1].unit && i < known_.back().unit)
    segment = static_cast<std::size_t>(std::upper_bound(known_.begin(), known_.end(), i,
                                                        [](std::size_t u, const UnitWalk::Known& k) {
                                                          return u < k.unit;
                                                        }) - known_.begin()) - 1;
  return UnitWalk::decode(known_, i, segment);
}

std::int64_t GrowingUnitTimes::earliest() const {
  // Without a believed decode time the units are a frame apart from 0, with no offset.
  if (known_.empty()) return 0;
  std::int64_t earliest = open_earliest_;
  if (settled_) earliest = std::min(earliest, settled_earliest_);
  // The units before the first believed decode time take the first PTS − DTS and are spaced
  // at least a tick apart: the first of them is presented earliest.
  const UnitWalk::Known& first = known_.front();
  if (first.unit > 0)
    earliest = std::min(earliest, first.dts - static_cast<std::int64_t>(first.unit) * UnitWalk::first_step(known_) +
                                      *first_composition_);
  return earliest;
}

std::int64_t VideoTimeline::earliest(const UnitTimes& times) {
  std::int64_t earliest = times.decode[0] + times.composition[0];
  for (std::size_t i = 0; i < times.decode.size(); ++i)
    earliest = std::min(earliest, times.decode[i] + times.composition[i]);
  return earliest;
}

void VideoTimeline::fix_start(TimedUnits window) {
  if (shift_ || window.count == 0) return;
  // The first stretch fixes which picture media time 0 presents, as for a whole stream.
  const UnitTimes times = unit_times(window);
  const std::int64_t first = earliest(times);
  shift_ = first - times.decode[0];
  if (times.any_pts) {
    const auto wrap = static_cast<std::int64_t>(kClockWrap);
    presentation_start_ = static_cast<std::uint64_t>(((first % wrap) + wrap) % wrap);
  }
}

StretchTiming VideoTimeline::time(TimedUnits window, bool continued, bool last) {
  StretchTiming timing;
  const std::size_t n = window.count;
  const std::size_t first = continued ? 1 : 0;
  const std::size_t end = last ? n : n - std::min<std::size_t>(n, 1);
  if (first >= end) return timing;
  fix_start(window);
  const UnitTimes times = unit_times(window);
  const auto& t = times.decode;
  for (std::size_t i = first; i < end; ++i) {
    // Each sample lasts until the next one decodes; the last lasts as long as the one before.
    const std::uint32_t duration =
        i + 1 < n ? saturate_u32(t[i + 1] - t[i]) : (timed_ ? last_duration_ : kDefaultVideoSampleDelta);
    timing.durations.push_back(duration);
    timing.offsets.push_back(clamp_i32(times.composition[i] - *shift_));
    last_duration_ = duration;
    timed_ = true;
  }
  return timing;
}

}  // namespace plexo::mp4w
