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

}  // namespace

// A PES without DTS decodes at its PTS.
UnitWalk::StampClock UnitWalk::Clocks::next(std::size_t unit, const ts::PesTimestamps& times) {
  const std::uint64_t dts = times.dts.value_or(*times.pts);
  const std::int64_t t = dts_clock_.next(dts);
  StampClock clock{unit, ts::clock_difference(*times.pts, dts), std::nullopt};
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
    const auto wrap = static_cast<std::int64_t>(ts::kClockWrap);
    timing.presentation_start = static_cast<std::uint64_t>(((earliest % wrap) + wrap) % wrap);
  }
  return timing;
}

void LiveUnitTimes::add(const ts::PesTimestamps* times) {
  const std::size_t i = count_++;
  if (times && times->pts) {
    const UnitWalk::StampClock clock = clocks_.next(i, *times);
    // The units before the first PTS take its PTS − DTS.
    if (!carried_) std::fill(pending_.begin(), pending_.end(), clock.composition);
    carried_ = clock.composition;
    if (clock.dts) known_.push_back({i, *clock.dts});
  }
  pending_.push_back(carried_.value_or(0));
  decide();
}

void LiveUnitTimes::finish() {
  ended_ = true;
  decide();
}

void LiveUnitTimes::decide() {
  std::size_t unit = first_ + decided_.size();
  for (; !pending_.empty(); ++unit) {
    const bool known_after = !known_.empty() && known_.back().unit >= unit &&
                             (unit >= known_.front().unit || known_.size() > 1);
    if (!ended_ && !(carried_ && known_after) && count_ <= unit + kLiveTimingHorizon) break;
    timed_at_horizon_ = timed_at_horizon_ || (!ended_ && !(carried_ && known_after));
    std::size_t segment = 0;
    if (known_.size() > 1 && unit >= known_[1].unit && unit < known_.back().unit)
      segment = static_cast<std::size_t>(std::upper_bound(known_.begin(), known_.end(), unit,
                                                          [](std::size_t u, const UnitWalk::Known& k) {
                                                            return u < k.unit;
                                                          }) - known_.begin()) - 1;
    decided_.emplace_back(UnitWalk::decode(known_, unit, segment), pending_.front());
    pending_.pop_front();
  }
  // The believed decode time at or before the first unit to decide stays, and the last two
  // (the spacing after the last).
  std::size_t drop = 0;
  while (known_.size() - drop > 2 && known_[drop + 1].unit <= unit) ++drop;
  known_.erase(known_.begin(), known_.begin() + static_cast<std::ptrdiff_t>(drop));
}

void LiveUnitTimes::forget(std::size_t unit) {
  while (first_ < unit && !decided_.empty()) {
    decided_.pop_front();
    ++first_;
  }
}

}  // namespace plexo::mp4w
