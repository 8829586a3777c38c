#include "mp4_parser/fragment_writer.hpp"

#include <algorithm>
#include <cstring>

#include "core/span_writer.hpp"

namespace plexo::mp4 {
namespace {

// x × to / from, rounded to the nearest tick (half away from zero).
std::int64_t rescale(std::int64_t x, std::uint32_t to, std::uint32_t from) {
  const __int128 scaled = static_cast<__int128>(x) * to;
  const __int128 half = from / 2;
  return static_cast<std::int64_t>(scaled >= 0 ? (scaled + half) / from : (scaled - half) / from);
}

std::uint32_t sample_flags(const OutputSample& s) { return s.sync ? kSyncSampleFlags : kNonSyncSampleFlags; }

// The presentation time of each sample of a track, in its media timescale.
template <class Visit>
void for_each_presentation(const TrackSamples& t, Visit visit) {
  std::int64_t decode = 0;
  for (std::size_t i = 0; i < t.samples.size(); ++i) {
    visit(i, decode + t.samples[i].composition_offset);
    decode += t.samples[i].duration;
  }
}

}  // namespace

std::vector<std::vector<std::uint32_t>> FragmentPlan::cut(const FragmentedMovieModel& model) const {
  const std::size_t tracks = model.movie.tracks.size();
  std::vector<std::vector<std::uint32_t>> starts(1, std::vector<std::uint32_t>(tracks, 0));
  if (tracks == 0) return starts;

  // The leading track: a fragment at its first sync sample at or after each multiple of the
  // fragment duration on its own timeline.
  const TrackSamples& lead = model.movie.tracks[0];
  const FragmentedTrack& lead_track = model.tracks[0];
  const std::int64_t step =
      std::max<std::int64_t>(1, rescale(static_cast<std::int64_t>(model.fragment_duration),
                                        lead_track.timescale, model.movie_timescale));
  std::vector<std::int64_t> cut_times;  // movie timescale, where fragments 1, 2, ... begin
  std::int64_t next = step;
  for_each_presentation(lead, [&](std::size_t i, std::int64_t presented) {
    if (i == 0 || !lead.samples[i].sync || presented < next) return;
    starts.emplace_back(tracks, 0);
    starts.back()[0] = static_cast<std::uint32_t>(i);
    cut_times.push_back(static_cast<std::int64_t>(lead_track.delay) +
                        rescale(presented, model.movie_timescale, lead_track.timescale));
    next = (presented / step + 1) * step;
  });

  // The other tracks: a sample belongs to the last fragment that begins at or before it.
  for (std::size_t t = 1; t < tracks; ++t) {
    const FragmentedTrack& track = model.tracks[t];
    std::size_t fragment = 1;
    for_each_presentation(model.movie.tracks[t], [&](std::size_t i, std::int64_t presented) {
      const std::int64_t at = static_cast<std::int64_t>(track.delay) +
                              rescale(presented, model.movie_timescale, track.timescale);
      while (fragment <= cut_times.size() && at >= cut_times[fragment - 1])
        starts[fragment++][t] = static_cast<std::uint32_t>(i);
    });
    for (; fragment <= cut_times.size(); ++fragment)
      starts[fragment][t] = static_cast<std::uint32_t>(model.movie.tracks[t].samples.size());
  }
  return starts;
}

Result<FragmentPlan> FragmentPlan::lay_out(FragmentedMovieModel model) {
  if (model.fragment_duration == 0 || model.movie_timescale == 0) return fail("Invalid fragment duration");
  if (model.tracks.size() != model.movie.tracks.size()) return fail("Every track needs its place on the timeline");
  for (const FragmentedTrack& t : model.tracks)
    if (t.timescale == 0) return fail("Invalid track timescale");
  for (const TrackSamples& t : model.movie.tracks)
    if (!fits_u32(t.samples.size())) return fail("Too many samples for an MP4 track");

  FragmentPlan plan;
  const auto starts = plan.cut(model);

  // The initialisation segment: the same movie without samples, announcing fragments.
  BoxNode mvex = BoxNode::container("mvex");
  for (std::size_t t = 0; t < model.movie.tracks.size(); ++t) {
    TrackSamples& track = model.movie.tracks[t];
    TrackSamples empty;
    empty.sample_description = track.sample_description;
    empty.sync_table = false;
    plan.tracks_.push_back(std::move(track));
    track = std::move(empty);
    TrackExtends trex;
    trex.track_id = model.tracks[t].track_id;
    mvex.add(BoxNode::typed(trex));
  }
  model.movie.moov.add(std::move(mvex));
  model.movie.fragmented = true;
  plan.init_ = PLEXO_TRY(MoviePlan::lay_out(std::move(model.movie)));

  // A track whose negative composition offsets are raised decodes that much earlier, so
  // that every sample keeps its presentation time; when its delay leaves no room for that,
  // every track moves later by the same amount (`lift`).
  std::int64_t lift = 0;
  for (std::size_t t = 0; t < plan.tracks_.size(); ++t) {
    std::int32_t lowest = 0;
    if (plan.tracks_[t].negative_offsets == TrackSamples::NegativeOffsets::kRaise)
      for (const OutputSample& s : plan.tracks_[t].samples) lowest = std::min(lowest, s.composition_offset);
    plan.raise_.push_back(-std::int64_t{lowest});
    const FragmentedTrack& track = model.tracks[t];
    lift = std::max(lift, rescale(plan.raise_[t], model.movie_timescale, track.timescale) -
                              static_cast<std::int64_t>(track.delay));
  }
  // Decode times continue from each track's delay on the movie timeline.
  std::vector<std::uint64_t> decode_times;
  for (std::size_t t = 0; t < plan.tracks_.size(); ++t) {
    const FragmentedTrack& track = model.tracks[t];
    const std::int64_t start =
        rescale(static_cast<std::int64_t>(track.delay) + lift, track.timescale, model.movie_timescale) -
        plan.raise_[t];
    decode_times.push_back(static_cast<std::uint64_t>(std::max<std::int64_t>(0, start)));
  }

  std::uint64_t offset = plan.init_.size();
  for (std::size_t k = 0; k < starts.size(); ++k) {
    Fragment f;
    f.offset = offset;
    std::uint64_t moof_payload = 8 + MovieFragmentHeader::payload_size();
    for (std::size_t t = 0; t < plan.tracks_.size(); ++t) {
      const auto& samples = plan.tracks_[t].samples;
      const std::uint32_t first = starts[k][t];
      const std::uint32_t end =
          k + 1 < starts.size() ? starts[k + 1][t] : static_cast<std::uint32_t>(samples.size());
      if (end <= first) continue;
      TrackFragment tf;
      tf.track = t;
      tf.first = first;
      tf.count = end - first;
      const std::span<const OutputSample> run(samples.data() + first, tf.count);

      tf.tfhd.flags = tfhd_flags::kDefaultBaseIsMoof;
      tf.tfhd.track_id = model.tracks[t].track_id;
      tf.tfdt.decode_time = decode_times[t];
      tf.trun.flags = trun_flags::kSizePresent;
      tf.trun.data_offset = 0;  // fixed once the moof's size is known
      tf.trun.sample_count = tf.count;

      // Values every sample shares become the traf's defaults.
      const bool uniform_duration = std::all_of(run.begin(), run.end(), [&](const OutputSample& s) {
        return s.duration == run[0].duration;
      });
      if (uniform_duration) tf.tfhd.default_duration = run[0].duration;
      else tf.trun.flags |= trun_flags::kDurationPresent;
      const std::uint32_t rest_flags = sample_flags(run[run.size() > 1 ? 1 : 0]);
      const bool uniform_rest = std::all_of(run.begin() + 1, run.end(), [&](const OutputSample& s) {
        return sample_flags(s) == rest_flags;
      });
      if (!uniform_rest) {
        tf.trun.flags |= trun_flags::kFlagsPresent;
      } else {
        tf.tfhd.default_flags = rest_flags;
        if (sample_flags(run[0]) != rest_flags) tf.trun.first_sample_flags = sample_flags(run[0]);
      }
      bool any_offset = false, negative = false;
      for (const OutputSample& s : run) {
        tf.media_size += s.size;
        decode_times[t] += s.duration;
        const std::int64_t offset = s.composition_offset + plan.raise_[t];
        any_offset |= offset != 0;
        negative |= offset < 0;
      }
      if (any_offset) tf.trun.flags |= trun_flags::kCompositionOffsetPresent;
      tf.trun.version = negative ? 1 : 0;

      moof_payload += box_length(box_length(tf.tfhd.payload_size()) + box_length(tf.tfdt.payload_size()) +
                                 box_length(tf.trun.payload_size()));
      tf.media_offset = f.media_size;  // within the mdat payload until the moof is laid out
      f.media_size += tf.media_size;
      f.trafs.push_back(std::move(tf));
    }
    f.moof_size = box_length(moof_payload);
    const std::uint64_t media_start = f.moof_size + box_header_length(f.media_size);
    for (TrackFragment& tf : f.trafs) {
      const std::uint64_t data_offset = media_start + tf.media_offset;
      if (!fits_i32(static_cast<std::int64_t>(data_offset))) return fail("Fragment too large for its track runs");
      tf.trun.data_offset = static_cast<std::int32_t>(data_offset);
      tf.media_offset = offset + data_offset;
    }
    offset += media_start + f.media_size;
    plan.fragments_.push_back(std::move(f));
  }
  plan.fragments_size_ = offset - plan.init_.size();
  return plan;
}

template <class Sink>
void FragmentPlan::write_fragment(Sink& out, std::uint32_t sequence, const Fragment& f) const {
  put_box_header(out, "moof", f.moof_size - 8);
  MovieFragmentHeader{sequence}.write(out);
  std::vector<TrackRunEntry> entries;
  for (const TrackFragment& tf : f.trafs) {
    put_box_header(out, "traf", box_length(tf.tfhd.payload_size()) + box_length(tf.tfdt.payload_size()) +
                                    box_length(tf.trun.payload_size()));
    tf.tfhd.write(out);
    tf.tfdt.write(out);
    entries.clear();
    for (std::uint32_t i = 0; i < tf.count; ++i) {
      const OutputSample& s = tracks_[tf.track].samples[tf.first + i];
      entries.push_back({s.duration, s.size, sample_flags(s),
                         static_cast<std::uint32_t>(s.composition_offset + raise_[tf.track])});
    }
    tf.trun.write(out, entries);
  }
  put_box_header(out, "mdat", f.media_size);
}

Status FragmentPlan::write(std::span<std::uint8_t> out) const {
  if (out.size() != size()) return fail("Output span does not match the planned size");
  PLEXO_CHECK(init_.write(out.first(static_cast<std::size_t>(init_.size()))));
  for (std::size_t k = 0; k < fragments_.size(); ++k) {
    const Fragment& f = fragments_[k];
    const std::uint64_t headers = f.moof_size + box_header_length(f.media_size);
    SpanWriter w(out.subspan(static_cast<std::size_t>(f.offset), static_cast<std::size_t>(headers)));
    write_fragment(w, static_cast<std::uint32_t>(k + 1), f);
    if (w.overrun() || w.position() != headers) return fail("MP4 layout and writing disagree");
  }

  // Each track's media in sample order, into its runs of every fragment.
  for (std::size_t t = 0; t < tracks_.size(); ++t) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;  // file position, length
    for (const Fragment& f : fragments_)
      for (const TrackFragment& tf : f.trafs)
        if (tf.track == t && tf.media_size > 0) runs.emplace_back(tf.media_offset, tf.media_size);
    std::size_t run = 0;
    std::uint64_t filled = 0;
    bool overflow = false;
    auto sink = [&](ByteView piece) {
      while (!piece.empty()) {
        if (run == runs.size()) {
          overflow = true;
          return;
        }
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), runs[run].second - filled));
        std::memcpy(out.data() + runs[run].first + filled, piece.data(), take);
        filled += take;
        piece = piece.subspan(take);
        if (filled == runs[run].second) {
          ++run;
          filled = 0;
        }
      }
    };
    const TrackSamples& track = tracks_[t];
    if (track.gather_media) track.gather_media(sink);
    else for (ByteView piece : track.media) sink(piece);
    if (overflow || run != runs.size()) return fail("Track media does not match its sample sizes");
  }
  return {};
}

}  // namespace plexo::mp4
