#include "mp4_writer/video_timing.hpp"

#include <algorithm>
#include <limits>

#include "mp4_writer/timeline.hpp"

namespace plexo::mp4w {
namespace {

// Decode times unwrap against each other; a PES without DTS decodes at its PTS. A decode time
// that does not move forward by at least a tick per sample is not believed.
std::vector<UnitWalk::StampClock> unwrap(TimedUnits units) {
  std::vector<UnitWalk::StampClock> clocks;
  ClockUnwrapper dts_clock;
  std::optional<std::pair<std::size_t, std::int64_t>> last;
  for (const ts::UnitStamp& stamp : units.stamps) {
    if (!stamp.times.pts || stamp.unit >= units.count) continue;
    const auto i = static_cast<std::size_t>(stamp.unit);
    const std::uint64_t dts = stamp.times.dts.value_or(*stamp.times.pts);
    const std::int64_t t = dts_clock.next(dts);
    auto& clock = clocks.emplace_back(UnitWalk::StampClock{i, clock_difference(*stamp.times.pts, dts), std::nullopt});
    if (last && t - last->second < static_cast<std::int64_t>(i - last->first)) continue;
    clock.dts = t;
    last = std::pair{i, t};
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

UnitWalk::UnitWalk(TimedUnits units) : clocks_(unwrap(units)) {
  for (const StampClock& clock : clocks_)
    if (clock.dts) known_.push_back({clock.unit, *clock.dts});
  if (!clocks_.empty()) carried_ = clocks_.front().composition;
  if (known_.size() > 1) {
    first_step_ = step(0);
    last_step_ = step(known_.size() - 2);
  }
}

std::pair<std::int64_t, std::int64_t> UnitWalk::next(std::size_t i) {
  if (next_clock_ < clocks_.size() && clocks_[next_clock_].unit == i) carried_ = clocks_[next_clock_++].composition;
  return {decode(i), carried_.value_or(0)};
}

std::int64_t UnitWalk::step(std::size_t k) const {
  return (known_[k + 1].dts - known_[k].dts) / static_cast<std::int64_t>(known_[k + 1].unit - known_[k].unit);
}

std::int64_t UnitWalk::decode(std::size_t i) {
  if (known_.empty()) return static_cast<std::int64_t>(i) * kDefaultVideoSampleDelta;
  const Known& first = known_.front();
  const Known& last = known_.back();
  if (i < first.unit) return first.dts - static_cast<std::int64_t>(first.unit - i) * first_step_;
  if (i >= last.unit) return last.dts + static_cast<std::int64_t>(i - last.unit) * last_step_;
  while (known_[segment_ + 1].unit <= i) ++segment_;
  const Known& a = known_[segment_];
  const Known& b = known_[segment_ + 1];
  return a.dts + (b.dts - a.dts) * static_cast<std::int64_t>(i - a.unit) / static_cast<std::int64_t>(b.unit - a.unit);
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
