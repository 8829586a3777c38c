#include "mp4_parser/fragment_writer.hpp"

#include <algorithm>

#include "core/copy.hpp"
#include "core/messages.hpp"
#include "core/span_writer.hpp"
#include "core/time.hpp"

namespace plexo::mp4 {
namespace {

std::uint32_t sample_flags(const OutputSample& s) {
  return (s.sync ? kSyncSampleFlags : kNonSyncSampleFlags) | std::uint32_t{s.leading & 3u} << 26;
}

// The presentation time of each sample of a track, in its media timescale, held or derived.
template <class Visit>
void for_each_presentation(const TrackSamples& t, Visit visit) {
  std::int64_t decode = 0;
  std::size_t i = 0;
  t.for_each_sample([&](const OutputSample& s) {
    visit(i++, s, decode + s.composition_offset);
    decode += s.duration;
  });
}

}  // namespace

// A fragment's samples as ranges [first, end) of each track's samples, held or derived: those
// derived are read a block at a time, so that a fragment of millions of samples holds no
// record of each.
struct FragmentPlan::TrackRanges {
  const std::vector<TrackSamples>& tracks_of;
  const std::vector<std::uint32_t>& first;
  const std::vector<std::uint32_t>& end;
  std::size_t tracks() const { return tracks_of.size(); }
  std::size_t count(std::size_t t) const { return end[t] - first[t]; }
  template <class Visit>
  void each(std::size_t t, Visit&& visit) const {
    const TrackSamples& track = tracks_of[t];
    if (!track.read_samples) {
      for (std::uint32_t i = first[t]; i < end[t]; ++i) visit(track.samples[i]);
      return;
    }
    OutputSample block[1024];
    for (std::uint64_t at = first[t]; at < end[t]; at += std::size(block)) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(std::size(block), end[t] - at));
      track.read_samples(at, std::span<OutputSample>(block, n));
      for (std::size_t i = 0; i < n; ++i) visit(block[i]);
    }
  }
};

namespace {

std::uint64_t traf_payload(const TrackFragmentHeader& tfhd, const TrackFragmentDecodeTime& tfdt,
                           const TrackRun& trun) {
  return box_length(tfhd.payload_size()) + box_length(tfdt.payload_size()) + box_length(trun.payload_size());
}

// Hands a track's media, piece by piece, into consecutive runs of the output.
class RunFiller {
 public:
  RunFiller(std::span<std::uint8_t> out, std::vector<std::pair<std::uint64_t, std::uint64_t>> runs)
      : out_(out), runs_(std::move(runs)) {}
  void operator()(ByteView piece) {
    while (!piece.empty()) {
      if (run_ == runs_.size()) {
        overflow_ = true;
        return;
      }
      const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), runs_[run_].second - filled_));
      copy_bytes(out_.data() + runs_[run_].first + filled_, piece.data(), take);
      filled_ += take;
      piece = piece.subspan(take);
      if (filled_ == runs_[run_].second) {
        ++run_;
        filled_ = 0;
      }
    }
  }
  // Every run filled, no byte left over.
  bool exact() const { return !overflow_ && run_ == runs_.size(); }

 private:
  std::span<std::uint8_t> out_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> runs_;  // position, length
  std::size_t run_ = 0;
  std::uint64_t filled_ = 0;
  bool overflow_ = false;
};

}  // namespace

std::vector<FragmentTrack> fragment_tracks(const std::vector<FragmentedTrack>& tracks,
                                           const std::vector<std::int64_t>& raise,
                                           std::uint32_t movie_timescale) {
  std::int64_t lift = 0;
  for (std::size_t t = 0; t < tracks.size(); ++t)
    lift = std::max(lift, rescale_nearest(raise[t], tracks[t].timescale, movie_timescale) -
                              static_cast<std::int64_t>(tracks[t].delay));
  std::vector<FragmentTrack> out;
  for (std::size_t t = 0; t < tracks.size(); ++t) {
    const std::int64_t start =
        rescale_nearest(static_cast<std::int64_t>(tracks[t].delay) + lift, movie_timescale, tracks[t].timescale) -
        raise[t];
    out.push_back({tracks[t].track_id, static_cast<std::uint64_t>(std::max<std::int64_t>(0, start)), raise[t]});
  }
  return out;
}

std::uint64_t FragmentSequence::Fragment::header_size() const {
  return moof_size + box_header_length(media_size);
}
std::uint64_t FragmentSequence::Fragment::size() const { return header_size() + media_size; }

// A fragment's samples as spans, one per track.
struct FragmentSequence::HeldSamples {
  const std::vector<std::span<const OutputSample>>& spans;
  std::size_t tracks() const { return spans.size(); }
  std::size_t count(std::size_t t) const { return spans[t].size(); }
  template <class Visit>
  void each(std::size_t t, Visit&& visit) const {
    for (const OutputSample& s : spans[t]) visit(s);
  }
};

Result<FragmentSequence::Fragment> FragmentSequence::lay_out(
    const std::vector<std::span<const OutputSample>>& samples) {
  Fragment f = PLEXO_TRY(lay_out_from(HeldSamples{samples}));
  for (TrackFragment& tf : f.trafs) tf.samples = samples[tf.track];
  return f;
}

template <class Samples>
Result<FragmentSequence::Fragment> FragmentSequence::lay_out_from(const Samples& samples) {
  Fragment f;
  f.sequence = ++sequence_;
  std::uint64_t moof_payload = box_length(MovieFragmentHeader::payload_size());
  for (std::size_t t = 0; t < tracks_.size() && t < samples.tracks(); ++t) {
    const std::size_t count = samples.count(t);
    if (count == 0) continue;
    if (!fits_u32(count)) return fail(msg::kTooManySamples);
    FragmentTrack& track = tracks_[t];
    TrackFragment tf;
    tf.track = t;
    tf.tfhd.flags = tfhd_flags::kDefaultBaseIsMoof;
    tf.tfhd.track_id = track.track_id;
    tf.tfdt.decode_time = track.decode_time;
    // The first entry is the trex's default.
    const auto& starts = track.description_starts;
    if (const auto later = std::upper_bound(starts.begin(), starts.end(), track.samples) - starts.begin(); later > 0)
      tf.tfhd.sample_description_index = static_cast<std::uint32_t>(later + 1);
    track.samples += count;
    tf.trun.flags = trun_flags::kSizePresent;
    tf.trun.data_offset = 0;  // fixed once the moof's size is known
    tf.trun.sample_count = static_cast<std::uint32_t>(count);

    // Values every sample shares become the traf's defaults (one pass over the samples).
    std::uint32_t first_duration = 0, first_flags = 0, rest_flags = 0;
    bool uniform_duration = true, uniform_rest = true, any_offset = false, negative = false;
    std::size_t i = 0;
    samples.each(t, [&](const OutputSample& s) {
      const std::uint32_t flags = sample_flags(s);
      if (i == 0) first_duration = s.duration, first_flags = rest_flags = flags;
      else if (i == 1) rest_flags = flags;
      else uniform_rest &= flags == rest_flags;
      uniform_duration &= s.duration == first_duration;
      ++i;
      tf.media_size += s.size;
      track.decode_time += s.duration;
      const std::int64_t offset = s.composition_offset + track.raise;
      any_offset |= offset != 0;
      negative |= offset < 0;
    });
    if (uniform_duration) tf.tfhd.default_duration = first_duration;
    else tf.trun.flags |= trun_flags::kDurationPresent;
    if (!uniform_rest) {
      tf.trun.flags |= trun_flags::kFlagsPresent;
    } else {
      tf.tfhd.default_flags = rest_flags;
      if (first_flags != rest_flags) tf.trun.first_sample_flags = first_flags;
    }
    if (any_offset) tf.trun.flags |= trun_flags::kCompositionOffsetPresent;
    tf.trun.version = negative ? 1 : 0;

    moof_payload += box_length(traf_payload(tf.tfhd, tf.tfdt, tf.trun));
    tf.media_offset = f.media_size;  // within the mdat payload until the moof is laid out
    f.media_size += tf.media_size;
    f.trafs.push_back(std::move(tf));
  }
  f.moof_size = box_length(moof_payload);
  for (TrackFragment& tf : f.trafs) {
    tf.media_offset += f.header_size();
    if (!fits_i32(static_cast<std::int64_t>(tf.media_offset))) return fail(msg::kFragmentTooLarge);
    tf.trun.data_offset = static_cast<std::int32_t>(tf.media_offset);
  }
  return f;
}

template <class Sink, class Samples>
void FragmentSequence::write_headers(Sink& out, const Fragment& f, const Samples& samples) const {
  put_box_header(out, "moof", f.moof_size - 8);
  MovieFragmentHeader{f.sequence}.write(out);
  for (const TrackFragment& tf : f.trafs) {
    put_box_header(out, "traf", traf_payload(tf.tfhd, tf.tfdt, tf.trun));
    tf.tfhd.write(out);
    tf.tfdt.write(out);
    const std::int64_t raise = tracks_[tf.track].raise;
    tf.trun.write_each(out, tf.trun.sample_count, [&](auto&& put) {
      samples.each(tf.track, [&](const OutputSample& s) {
        put(TrackRunEntry{s.duration, s.size, sample_flags(s), static_cast<std::uint32_t>(s.composition_offset + raise)});
      });
    });
  }
  put_box_header(out, "mdat", f.media_size);
}

Status FragmentSequence::write(const std::vector<std::span<const OutputSample>>& samples, const Gather& gather,
                               const Target& target) {
  const Fragment f = PLEXO_TRY(lay_out(samples));
  const std::span<std::uint8_t> bytes = target(static_cast<std::size_t>(f.size()));
  if (bytes.size() != f.size()) return fail(msg::kOutputSizeMismatch);
  SpanWriter w(bytes.first(static_cast<std::size_t>(f.header_size())));
  write_headers(w, f, HeldSamples{samples});
  if (w.overrun() || w.position() != f.header_size()) return fail(msg::kLayoutMismatch);
  for (const TrackFragment& tf : f.trafs) {
    RunFiller fill(bytes, {{tf.media_offset, tf.media_size}});
    gather(tf.track, [&fill](ByteView piece) { fill(piece); });
    if (!fill.exact()) return fail(msg::kMediaSizeMismatch);
  }
  return {};
}

Result<MoviePlan> plan_init_segment(MovieModel movie, const std::vector<FragmentedTrack>& tracks,
                                    std::vector<TrackSamples>* samples) {
  if (tracks.size() != movie.tracks.size()) return fail(msg::kTracksWithoutTimeline);
  BoxNode mvex = BoxNode::container("mvex");
  for (std::size_t t = 0; t < movie.tracks.size(); ++t) {
    TrackSamples& track = movie.tracks[t];
    TrackSamples empty;
    empty.sample_description = track.sample_description;
    empty.sync_table = false;
    samples->push_back(std::move(track));
    track = std::move(empty);
    TrackExtends trex;
    trex.track_id = tracks[t].track_id;
    mvex.add(BoxNode::typed(trex));
  }
  movie.moov.add(std::move(mvex));
  movie.fragmented = true;
  return MoviePlan::lay_out(std::move(movie));
}

std::vector<std::vector<std::uint32_t>> FragmentPlan::cut(const FragmentedMovieModel& model) {
  const std::size_t tracks = model.movie.tracks.size();
  std::vector<std::vector<std::uint32_t>> starts(1, std::vector<std::uint32_t>(tracks, 0));
  if (tracks == 0) return starts;

  // The leading track decides; the other tracks are cut at the same movie times: a sample
  // belongs to the last fragment that begins at or before it.
  const TrackSamples& lead = model.movie.tracks[0];
  const FragmentedTrack& lead_track = model.tracks[0];
  FragmentCutter cutter(rescale_nearest(static_cast<std::int64_t>(model.fragment_duration), model.movie_timescale,
                                        lead_track.timescale));
  std::vector<std::int64_t> cut_times;  // movie timescale, where fragments 1, 2, ... begin
  auto next_entry = lead.description_starts.begin();
  for_each_presentation(lead, [&](std::size_t i, const OutputSample& s, std::int64_t presented) {
    const bool new_entry = next_entry != lead.description_starts.end() && *next_entry == i;
    if (new_entry) ++next_entry;
    if (!cutter.begins_fragment(i == 0, s.sync, presented) && !new_entry) return;
    starts.emplace_back(tracks, 0);
    starts.back()[0] = static_cast<std::uint32_t>(i);
    cut_times.push_back(static_cast<std::int64_t>(lead_track.delay) +
                        rescale_nearest(presented, lead_track.timescale, model.movie_timescale));
  });
  for (std::size_t t = 1; t < tracks; ++t) {
    const FragmentedTrack& track = model.tracks[t];
    std::size_t fragment = 1;
    for_each_presentation(model.movie.tracks[t], [&](std::size_t i, const OutputSample&, std::int64_t presented) {
      const std::int64_t at = static_cast<std::int64_t>(track.delay) +
                              rescale_nearest(presented, track.timescale, model.movie_timescale);
      while (fragment <= cut_times.size() && at >= cut_times[fragment - 1])
        starts[fragment++][t] = static_cast<std::uint32_t>(i);
    });
    for (; fragment <= cut_times.size(); ++fragment)
      starts[fragment][t] = static_cast<std::uint32_t>(model.movie.tracks[t].sample_count());
  }
  return starts;
}

Result<FragmentPlan> FragmentPlan::lay_out(FragmentedMovieModel model) {
  if (model.fragment_duration == 0 || model.movie_timescale == 0) return fail(msg::kInvalidFragmentDuration);
  if (model.tracks.size() != model.movie.tracks.size()) return fail(msg::kTracksWithoutTimeline);
  // A track of many derived samples keeps them derived: each fragment reads its own when laid
  // out and written, so that no record per sample is held (a stream of tiny samples has
  // millions). Fewer are read once into a list (at most 1 MiB), which is quicker to walk.
  constexpr std::uint64_t kHeldSamples = std::uint64_t{1} << 16;
  for (TrackSamples& t : model.movie.tracks) {
    if (!fits_u32(t.sample_count())) return fail(msg::kTooManySamples);
    if (t.sample_count() <= kHeldSamples) t.hold_samples();
  }
  for (const FragmentedTrack& t : model.tracks)
    if (t.timescale == 0) return fail(msg::kInvalidTrackTimescale);

  FragmentPlan plan;
  const auto starts = cut(model);
  const std::vector<FragmentedTrack> tracks = model.tracks;
  plan.init_ = PLEXO_TRY(plan_init_segment(std::move(model.movie), tracks, &plan.tracks_));

  // Negative composition offsets raised by the most negative one's magnitude, for the tracks
  // that ask for it.
  std::vector<std::int64_t> raise;
  for (const TrackSamples& t : plan.tracks_) {
    std::int32_t lowest = 0;
    if (t.negative_offsets == TrackSamples::NegativeOffsets::kRaise)
      t.for_each_sample([&](const OutputSample& s) { lowest = std::min(lowest, s.composition_offset); });
    raise.push_back(-std::int64_t{lowest});
  }
  plan.sequence_.emplace(fragment_tracks(tracks, raise, model.movie_timescale));
  for (std::size_t t = 0; t < plan.tracks_.size(); ++t)
    plan.sequence_->tracks_[t].description_starts = plan.tracks_[t].description_starts;

  std::uint64_t offset = plan.init_.size();
  for (std::size_t k = 0; k < starts.size(); ++k) {
    std::vector<std::uint32_t> ends(plan.tracks_.size());
    for (std::size_t t = 0; t < plan.tracks_.size(); ++t)
      ends[t] = k + 1 < starts.size() ? starts[k + 1][t] : static_cast<std::uint32_t>(plan.tracks_[t].sample_count());
    FragmentSequence::Fragment f = PLEXO_TRY(plan.sequence_->lay_out_from(TrackRanges{plan.tracks_, starts[k], ends}));
    if (f.trafs.empty()) continue;
    plan.offsets_.push_back(offset);
    offset += f.size();
    for (const auto& tf : f.trafs) plan.first_samples_.push_back(starts[k][tf.track]);
    plan.fragments_.push_back(std::move(f));
  }
  plan.fragments_size_ = offset - plan.init_.size();
  return plan;
}

Status FragmentPlan::write(std::span<std::uint8_t> out) const {
  if (out.size() != size()) return fail(msg::kOutputSizeMismatch);
  PLEXO_CHECK(init_.write(out.first(static_cast<std::size_t>(init_.size()))));
  std::size_t traf = 0;  // of every fragment, in order: its first sample
  std::vector<std::uint32_t> firsts(tracks_.size()), ends(tracks_.size());
  for (std::size_t k = 0; k < fragments_.size(); ++k) {
    const FragmentSequence::Fragment& f = fragments_[k];
    for (const auto& tf : f.trafs) {
      firsts[tf.track] = first_samples_[traf++];
      ends[tf.track] = firsts[tf.track] + tf.trun.sample_count;
    }
    SpanWriter w(out.subspan(static_cast<std::size_t>(offsets_[k]), static_cast<std::size_t>(f.header_size())));
    sequence_->write_headers(w, f, TrackRanges{tracks_, firsts, ends});
    if (w.overrun() || w.position() != f.header_size()) return fail(msg::kLayoutMismatch);
  }
  // Each track's media in sample order, into its runs of every fragment.
  for (std::size_t t = 0; t < tracks_.size(); ++t) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
    for (std::size_t k = 0; k < fragments_.size(); ++k)
      for (const auto& tf : fragments_[k].trafs)
        if (tf.track == t && tf.media_size > 0) runs.emplace_back(offsets_[k] + tf.media_offset, tf.media_size);
    RunFiller fill(out, std::move(runs));
    const TrackSamples& track = tracks_[t];
    if (track.gather_media) track.gather_media([&fill](ByteView piece) { fill(piece); });
    else for (ByteView piece : track.media) fill(piece);
    if (!fill.exact()) return fail(msg::kMediaSizeMismatch);
  }
  return {};
}

}  // namespace plexo::mp4
