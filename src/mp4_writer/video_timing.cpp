#include "mp4_writer/video_timing.hpp"

#include <algorithm>
#include <limits>

#include "mp4_writer/timeline.hpp"

namespace plexo::mp4w {
namespace {

// One access unit's timestamps on the continuous timeline.
struct UnitClock {
  std::optional<std::int64_t> dts;
  std::int64_t composition = 0;  // PTS − DTS
  bool has_pts = false;
};

// Decode times unwrap against each other; a PES without DTS decodes at its PTS. A decode time
// that does not move forward by at least a tick per sample is not believed.
std::vector<UnitClock> unwrap(std::span<const ts::AccessUnit> units) {
  std::vector<UnitClock> clocks(units.size());
  ClockUnwrapper dts_clock;
  std::optional<std::pair<std::size_t, std::int64_t>> last;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const ts::AccessUnit& u = units[i];
    if (!u.pts) continue;
    const std::uint64_t dts = u.dts.value_or(*u.pts);
    const std::int64_t t = dts_clock.next(dts);
    clocks[i].composition = clock_difference(*u.pts, dts);
    clocks[i].has_pts = true;
    if (last && t - last->second < static_cast<std::int64_t>(i - last->first)) continue;
    clocks[i].dts = t;
    last = std::pair{i, t};
  }
  return clocks;
}

// Decode times for every sample: the believed ones, with the samples between them spread
// evenly, and those before the first or after the last at the nearest known spacing.
std::vector<std::int64_t> decode_times(const std::vector<UnitClock>& clocks) {
  const std::size_t n = clocks.size();
  std::vector<std::size_t> known;
  for (std::size_t i = 0; i < n; ++i)
    if (clocks[i].dts) known.push_back(i);
  std::vector<std::int64_t> t(n, 0);
  if (known.empty()) {
    for (std::size_t i = 0; i < n; ++i) t[i] = static_cast<std::int64_t>(i) * kDefaultVideoSampleDelta;
    return t;
  }
  for (std::size_t k = 0; k < known.size(); ++k) {
    const std::size_t a = known[k];
    t[a] = *clocks[a].dts;
    if (k + 1 == known.size()) break;
    const std::size_t b = known[k + 1];
    const std::int64_t span = *clocks[b].dts - *clocks[a].dts;
    for (std::size_t i = a + 1; i < b; ++i)
      t[i] = t[a] + span * static_cast<std::int64_t>(i - a) / static_cast<std::int64_t>(b - a);
  }
  auto step = [&](std::size_t a, std::size_t b) {
    return (*clocks[b].dts - *clocks[a].dts) / static_cast<std::int64_t>(b - a);
  };
  const std::int64_t first_step = known.size() > 1 ? step(known[0], known[1]) : kDefaultVideoSampleDelta;
  const std::int64_t last_step =
      known.size() > 1 ? step(known[known.size() - 2], known.back()) : kDefaultVideoSampleDelta;
  for (std::size_t i = known.front(); i-- > 0;) t[i] = t[i + 1] - first_step;
  for (std::size_t i = known.back() + 1; i < n; ++i) t[i] = t[i - 1] + last_step;
  return t;
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

UnitTimes unit_times(std::span<const ts::AccessUnit> units) {
  UnitTimes times;
  const auto clocks = unwrap(units);
  times.decode = decode_times(clocks);
  // PTS − DTS of each sample; one without a PTS keeps the offset of the sample before it.
  const std::size_t n = units.size();
  times.composition.assign(n, 0);
  std::optional<std::int64_t> carried;
  for (std::size_t i = 0; i < n; ++i)
    if (clocks[i].has_pts && !carried) carried = clocks[i].composition;
  times.any_pts = carried.has_value();
  for (std::size_t i = 0; i < n; ++i) {
    if (clocks[i].has_pts) carried = clocks[i].composition;
    times.composition[i] = carried.value_or(0);
  }
  return times;
}

VideoTiming compute_video_timing(const std::vector<ts::AccessUnit>& units) {
  VideoTiming timing;
  const std::size_t n = units.size();
  if (n == 0) return timing;
  const UnitTimes times = unit_times(units);
  const auto& t = times.decode;

  // Each sample lasts until the next one decodes; the last lasts as long as the one before.
  timing.durations.resize(n);
  for (std::size_t i = 0; i + 1 < n; ++i) timing.durations[i] = saturate_u32(t[i + 1] - t[i]);
  timing.durations[n - 1] = n > 1 ? timing.durations[n - 2] : kDefaultVideoSampleDelta;
  for (auto d : timing.durations) timing.duration += d;

  std::vector<std::int64_t> offsets = times.composition;
  const bool any_pts = times.any_pts;
  // Media time 0 presents the earliest picture: every offset moves by the same amount.
  std::int64_t earliest = t[0] + offsets[0];
  for (std::size_t i = 0; i < n; ++i) earliest = std::min(earliest, t[i] + offsets[i]);
  const std::int64_t shift = earliest - t[0];
  bool any_nonzero = false;
  for (auto& offset : offsets) {
    offset -= shift;
    any_nonzero |= offset != 0;
    timing.negative_offsets |= offset < 0;
  }
  if (any_nonzero) {
    timing.composition_offsets.reserve(n);
    for (auto offset : offsets) timing.composition_offsets.push_back(clamp_i32(offset));
  }
  if (any_pts) {
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

void VideoTimeline::fix_start(std::span<const ts::AccessUnit> window) {
  if (shift_ || window.empty()) return;
  // The first stretch fixes which picture media time 0 presents, as for a whole stream.
  const UnitTimes times = unit_times(window);
  const std::int64_t first = earliest(times);
  shift_ = first - times.decode[0];
  if (times.any_pts) {
    const auto wrap = static_cast<std::int64_t>(kClockWrap);
    presentation_start_ = static_cast<std::uint64_t>(((first % wrap) + wrap) % wrap);
  }
}

StretchTiming VideoTimeline::time(std::span<const ts::AccessUnit> window, bool continued, bool last) {
  StretchTiming timing;
  const std::size_t n = window.size();
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
