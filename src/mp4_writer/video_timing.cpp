#include "mp4_writer/video_timing.hpp"

#include <algorithm>
#include <limits>

#include "mp4_writer/timeline.hpp"

namespace plexo::mp4w {
namespace {

// One PES's timestamps on the continuous timeline.
struct PesClock {
  std::optional<std::int64_t> pts;
  std::optional<std::int64_t> dts;
};

std::vector<PesClock> unwrap_pes_times(const std::vector<ts::PesTimestamps>& times) {
  std::vector<PesClock> clocks;
  clocks.reserve(times.size());
  ClockUnwrapper pts_clock;
  for (const auto& t : times) {
    PesClock clock;
    if (t.pts) {
      clock.pts = pts_clock.next(*t.pts);
      // DTS lies just before its own PTS, so it unwraps against that.
      if (t.dts) clock.dts = *clock.pts - clock_difference(*t.pts, *t.dts);
    }
    clocks.push_back(clock);
  }
  return clocks;
}

// For each sample, the PES whose payload holds the sample's first byte.
std::vector<std::optional<std::size_t>> pes_of_samples(const ts::TsDemuxResult& demuxed,
                                                       const std::vector<VideoSample>& samples) {
  const auto& offsets = demuxed.video_pes_es_offsets;
  const std::size_t pes_count = demuxed.video_pes_times.size();
  std::vector<std::optional<std::size_t>> owner(samples.size());
  if (pes_count > 0 && offsets.size() == pes_count) {
    std::size_t j = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      while (j + 1 < pes_count && offsets[j + 1] <= samples[i].begin) ++j;
      owner[i] = j;
    }
  } else {
    // Without payload positions, take one PES per sample.
    for (std::size_t i = 0; i < samples.size() && i < pes_count; ++i) owner[i] = i;
  }
  return owner;
}

std::uint32_t saturate_u32(std::int64_t v) {
  if (v <= 0) return 0;
  return static_cast<std::uint32_t>(std::min<std::int64_t>(v, std::numeric_limits<std::uint32_t>::max()));
}

// The PTS span over the number of PES intervals: the duration when every PES holds one
// access unit.
std::uint32_t delta_from_pts_span(const std::vector<PesClock>& clocks) {
  std::uint64_t k = 0;
  std::int64_t lo = 0, hi = 0;
  for (const auto& c : clocks) {
    if (!c.pts) continue;
    if (k == 0 || *c.pts < lo) lo = *c.pts;
    if (k == 0 || *c.pts > hi) hi = *c.pts;
    ++k;
  }
  if (k >= 2 && hi > lo && static_cast<std::uint64_t>(hi - lo) >= k - 1)
    return saturate_u32((hi - lo) / static_cast<std::int64_t>(k - 1));
  return kDefaultVideoSampleDelta;
}

// When PES and access units do not pair up, the decode times of the samples that begin a PES
// give the duration: their distance over the number of samples between them.
std::optional<std::uint32_t> delta_from_decode_times(
    const std::vector<PesClock>& clocks, const std::vector<std::optional<std::size_t>>& owner) {
  std::optional<std::pair<std::size_t, std::int64_t>> first, last;
  for (std::size_t i = 0; i < owner.size(); ++i) {
    if (!owner[i] || (i > 0 && owner[i - 1] == owner[i])) continue;
    const PesClock& c = clocks[*owner[i]];
    auto t = c.dts ? c.dts : c.pts;
    if (!t) continue;
    if (!first) first = std::pair{i, *t};
    last = std::pair{i, *t};
  }
  if (!first || last->first <= first->first || last->second <= first->second) return std::nullopt;
  const auto samples = static_cast<std::int64_t>(last->first - first->first);
  const std::int64_t span = last->second - first->second;
  if (span < samples) return std::nullopt;
  return saturate_u32(span / samples);
}

std::int32_t clamp_i32(std::int64_t v) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

VideoTiming compute_video_timing(const ts::TsDemuxResult& demuxed,
                                 const std::vector<VideoSample>& samples) {
  VideoTiming timing;
  const auto clocks = unwrap_pes_times(demuxed.video_pes_times);
  const auto owner = pes_of_samples(demuxed, samples);

  timing.sample_delta = delta_from_pts_span(clocks);
  if (clocks.size() != samples.size()) {
    if (auto delta = delta_from_decode_times(clocks, owner)) timing.sample_delta = *delta;
  }
  timing.duration = std::uint64_t{timing.sample_delta} * samples.size();
  if (samples.empty()) return timing;

  // PTS − DTS of each sample's PES, relative to the first sample.
  std::vector<std::int64_t> offsets(samples.size(), 0);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (!owner[i]) continue;
    const PesClock& c = clocks[*owner[i]];
    if (c.pts && c.dts) offsets[i] = *c.pts - *c.dts;
  }
  const std::int64_t first = offsets[0];
  const auto delta = static_cast<std::int64_t>(timing.sample_delta);
  std::int64_t earliest = 0;
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    offsets[i] -= first;
    earliest = std::min(earliest, static_cast<std::int64_t>(i) * delta + offsets[i]);
  }
  // A picture presented before the first decoded one (an open GOP's leading pictures) would
  // fall before movie time 0; move every offset up so that the earliest lands on 0.
  if (earliest < 0)
    for (auto& offset : offsets) offset -= earliest;

  bool any_nonzero = false;
  for (auto offset : offsets) {
    if (offset != 0) any_nonzero = true;
    if (offset < 0) timing.negative_offsets = true;
  }
  if (any_nonzero) {
    timing.composition_offsets.reserve(offsets.size());
    for (auto offset : offsets) timing.composition_offsets.push_back(clamp_i32(offset));
  }

  // Movie time 0 in source PTS terms, from the first sample that begins a PES with a PTS.
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (!owner[i] || (i > 0 && owner[i - 1] == owner[i])) continue;
    const PesClock& c = clocks[*owner[i]];
    if (!c.pts) continue;
    const std::int64_t presented_at = static_cast<std::int64_t>(i) * delta + offsets[i];
    timing.presentation_origin = *c.pts - presented_at;
    const auto wrap = static_cast<std::int64_t>(kClockWrap);
    timing.presentation_origin_raw =
        static_cast<std::uint64_t>(((*timing.presentation_origin % wrap) + wrap) % wrap);
    break;
  }
  return timing;
}

}  // namespace plexo::mp4w
