#include "mp4_writer/ts_segmenter.hpp"

#include <algorithm>
#include <functional>
#include <span>

#include "core/messages.hpp"
#include "codecs/nal_framing.hpp"
#include "mp4_writer/movie_outline.hpp"
#include "mp4_writer/mp4_writer.hpp"
#include "mp4_writer/timeline.hpp"

namespace plexo::mp4w {
namespace {

using mp4::OutputSample;

// How many fragments may wait for the audio to catch up with the video (or to start at all).
constexpr std::size_t kAudioWaitFragments = 4;
// Audio frames held while the video's parameter sets have not come: the oldest go beyond this.
constexpr std::size_t kMaxHeldAudioFrames = 4096;

}  // namespace

TsSegmenter::TsSegmenter(double fragment_duration)
    : fragment_ticks_(std::max<std::uint64_t>(1, static_cast<std::uint64_t>(fragment_duration * kMovieTimescale + 0.5))) {}

bool TsSegmenter::video_leads() const {
  const ts::TsDemuxResult& r = demux_.result();
  // A programme whose video stream sent nothing converts its audio alone.
  return r.video_pid && !(ended_ && r.video.empty());
}

std::int64_t TsSegmenter::audio_movie_time(std::uint64_t frame) const {
  const mp4::FragmentedTrack& track = tracks_.back();
  return static_cast<std::int64_t>(track.delay) +
         mp4::rescale_time(static_cast<std::int64_t>(frame * audio_->sample_delta), kMovieTimescale, track.timescale);
}

std::size_t TsSegmenter::audio_frames_before(std::int64_t end) const {
  const std::size_t held = demux_.result().audio_frames.size();
  std::size_t n = 0;
  while (n < held && audio_movie_time(audio_written_ + n) < end) ++n;
  return n;
}

TsSegmenter::Window TsSegmenter::window(std::size_t end, bool anchored) const {
  const ts::TsDemuxResult& r = demux_.result();
  Window w;
  const std::size_t lead = anchored ? 1 : 0;
  w.count = lead + std::min(end, r.access_units.size());
  if (anchored && anchor_times_) w.stamps.push_back({0, *anchor_times_});
  for (const ts::UnitStamp& stamp : r.unit_stamps) {
    if (stamp.unit >= end) break;
    w.stamps.push_back({stamp.unit + lead, stamp.times});
  }
  return w;
}

// A fragment begins at the leading track's first sync sample at or after each multiple of the
// fragment duration, as in the whole-stream conversion.
void TsSegmenter::find_cuts() {
  const ts::TsDemuxResult& r = demux_.result();
  if (video_leads()) {
    if (!cutter_ready_) cutter_ = mp4::FragmentCutter(static_cast<std::int64_t>(fragment_ticks_));
    cutter_ready_ = true;
    const auto& units = r.access_units;
    // Each key frame is timed as the whole window up to it would time it (unit_times of
    // window(scanned_ + 1)), the window's times growing a unit at a time.
    const std::size_t first_held = anchored_ ? 1 : 0;
    auto take = [&](std::size_t unit) {
      const auto& stamps = r.unit_stamps;
      while (next_stamp_ < stamps.size() && stamps[next_stamp_].unit < unit) ++next_stamp_;
      held_times_->add(next_stamp_ < stamps.size() && stamps[next_stamp_].unit == unit ? &stamps[next_stamp_].times
                                                                                        : nullptr);
    };
    if (!held_times_) {
      held_times_.emplace();
      next_stamp_ = 0;
      if (anchored_) held_times_->add(anchor_times_ ? &*anchor_times_ : nullptr);
      for (std::size_t unit = 0; unit < scanned_; ++unit) take(unit);
    }
    for (; scanned_ < units.size(); ++scanned_) {
      take(scanned_);
      if ((!anchored_ && scanned_ == 0) || !units[scanned_].sync) continue;
      const GrowingUnitTimes& times = *held_times_;
      const std::int64_t decode =
          static_cast<std::int64_t>(video_decode_) + (times.decode(first_held + scanned_) - times.decode(first_held));
      const std::int64_t shift = timeline_.shift() ? *timeline_.shift() : times.earliest() - times.decode(0);
      const std::int64_t presented = decode + times.composition() - shift;
      if (cutter_.begins_fragment(false, true, presented)) cuts_.push_back({scanned_, presented});
    }
  } else if (!r.audio_frames.empty()) {
    if (!audio_) audio_ = compute_audio_timing(r);
    if (!cutter_ready_)
      cutter_ = mp4::FragmentCutter(
          mp4::rescale_time(static_cast<std::int64_t>(fragment_ticks_), audio_->timescale, kMovieTimescale));
    cutter_ready_ = true;
    for (; scanned_ < r.audio_frames.size(); ++scanned_) {
      const std::uint64_t frame = audio_written_ + scanned_;
      const auto presented = static_cast<std::int64_t>(frame * audio_->sample_delta);
      if (cutter_.begins_fragment(frame == 0, true, presented)) cuts_.push_back({scanned_, presented});
    }
  }
}

// Writes the initialisation segment once the tracks are known: the video's parameter sets and
// the audio's configuration (or, after a while, the video alone). `units`: the leading
// samples of the first fragment.
Result<bool> TsSegmenter::start(std::size_t units, bool ended) {
  const ts::TsDemuxResult& r = demux_.result();
  const bool lead_video = video_leads();
  if (lead_video && r.access_units.empty()) return false;
  has_video_ = lead_video;
  has_audio_ = !r.audio_frames.empty();
  if (!has_video_ && !has_audio_) return false;
  if (!has_audio_ && r.audio_pid && !ended && cuts_.size() < kAudioWaitFragments) return false;

  VideoTiming video;
  std::vector<std::int64_t> raise;
  if (has_video_) {
    timeline_.fix_start(window(units + 1, false).timed());
    video.presentation_start = timeline_.presentation_start();
    // Negative composition offsets are raised by the most negative one's magnitude, as the
    // whole-stream conversion does; the first fragment's decide.
    const UnitTimes times = unit_times(window(units, false).timed());
    std::int64_t lowest = 0;
    for (std::size_t i = 0; i < times.decode.size(); ++i)
      lowest = std::min(lowest, times.composition[i] - *timeline_.shift());
    raise.push_back(-lowest);
  }
  audio_.reset();
  if (has_audio_) {
    audio_ = compute_audio_timing(r);
    raise.push_back(0);
  }
  align_tracks(video, audio_);

  TrackDescriptions descriptions;
  MovieOutline outline = outline_movie(descriptions, r, has_video_ ? &video : nullptr,
                                       has_audio_ ? &*audio_ : nullptr, Layout::kFragmented);
  tracks_ = outline.tracks;
  std::vector<mp4::TrackSamples> none;
  const mp4::MoviePlan init = PLEXO_TRY(mp4::plan_init_segment(std::move(outline.model), tracks_, &none));
  init_ = PLEXO_TRY(init.write());
  sequence_.emplace(mp4::fragment_tracks(tracks_, raise, kMovieTimescale));
  started_ = true;
  return true;
}

Status TsSegmenter::emit(bool ended, const Target& fragments) {
  for (;;) {
    const ts::TsDemuxResult& r = demux_.result();
    const bool lead_video = video_leads();
    const bool last = cuts_.empty();
    if (last && !ended) return {};
    const std::size_t lead_held = lead_video ? r.access_units.size() : r.audio_frames.size();
    const std::size_t k = last ? lead_held : cuts_.front().unit;
    if (!started_) {
      PLEXO_CHECK(ts::check_supported_video(r));
      if (!PLEXO_TRY(start(k, ended))) return {};
    }

    // The audio presented before the next fragment begins; unless the stream ended, wait
    // until it has all come (for a while).
    std::size_t frames = 0;
    if (has_audio_ && !lead_video) {
      frames = k;
    } else if (has_audio_) {
      if (last) {
        frames = r.audio_frames.size();
      } else {
        const mp4::FragmentedTrack& lead = tracks_.front();
        const std::int64_t end = static_cast<std::int64_t>(lead.delay) +
                                 mp4::rescale_time(cuts_.front().presented, kMovieTimescale, lead.timescale);
        frames = audio_frames_before(end);
        if (frames == r.audio_frames.size() && !ended && cuts_.size() < kAudioWaitFragments) return {};
      }
    }
    const std::size_t units = lead_video ? k : 0;
    if (units == 0 && frames == 0) {
      demux_.release(0, has_audio_ ? 0 : r.audio_frames.size());
      return {};
    }

    std::vector<OutputSample> video_samples, audio_samples;
    std::uint64_t video_duration = 0;
    if (has_video_ && units > 0) {
      const StretchTiming timing = timeline_.time(window(units + 1, anchored_).timed(), anchored_, last);
      for (std::size_t i = 0; i < units; ++i) {
        const std::uint64_t size = r.sample_size(i);
        if (!mp4::fits_u32(size))
          return fail(r.video_codec == VideoCodec::kHevc ? msg::kHevcAccessUnitTooLarge : msg::kAccessUnitTooLarge);
        video_samples.push_back(OutputSample{static_cast<std::uint32_t>(size), timing.durations[i], timing.offsets[i],
                                             r.access_units[i].sync != 0});
        video_duration += timing.durations[i];
      }
    }
    for (std::size_t j = 0; j < frames; ++j)
      audio_samples.push_back(OutputSample{static_cast<std::uint32_t>(r.audio_frames[j].size), audio_->sample_delta, 0, true});

    std::vector<std::span<const OutputSample>> samples;
    if (has_video_) samples.emplace_back(video_samples);
    if (has_audio_) samples.emplace_back(audio_samples);
    const std::size_t nal_end =
        units < r.access_units.size() ? static_cast<std::size_t>(r.access_units[units].first_nal) : r.nal_units.size();
    auto gather = [&](std::size_t track, const std::function<void(ByteView)>& sink) {
      if (has_video_ && track == 0) {
        ts::ElementaryStream::Copier copier(r.video);
        nal::put_length_prefixed(copier, std::span<const ts::NalRange>(r.nal_units.data(), nal_end), sink);
      } else {
        ts::ElementaryStream::Copier copier(r.audio);
        for (std::size_t j = 0; j < frames; ++j) copier.copy(r.audio_frames[j].begin, r.audio_frames[j].size, sink);
      }
    };
    PLEXO_CHECK(sequence_->write(samples, gather, fragments));

    if (units > 0) {
      anchored_ = true;
      held_times_.reset();  // the window now begins at the unit just written
      anchor_times_.reset();
      for (const ts::UnitStamp& stamp : r.unit_stamps)
        if (stamp.unit == units - 1) anchor_times_ = stamp.times;
    }
    video_decode_ += video_duration;
    audio_written_ += frames;
    // Audio that came after the tracks were fixed without it is not kept.
    demux_.release(units, has_audio_ ? frames : r.audio_frames.size());
    if (last) return {};
    cuts_.erase(cuts_.begin());
    for (Cut& cut : cuts_) cut.unit -= k;
    scanned_ -= k;
  }
}

Status TsSegmenter::push(ByteView chunk, const Target& fragments) {
  if (ended_) return fail(msg::kStreamEnded);
  demux_.push(chunk);
  const ts::TsDemuxResult& r = demux_.result();
  if (!started_) {
    // Before the tracks are known, keep only what they may still need.
    const std::size_t excess = r.audio_frames.size() > kMaxHeldAudioFrames && r.video_pid && r.access_units.empty()
                                   ? r.audio_frames.size() - kMaxHeldAudioFrames
                                   : 0;
    if (!video_leads()) scanned_ -= std::min(scanned_, excess);
    demux_.release(0, excess);
  }
  find_cuts();
  return emit(false, fragments);
}

Status TsSegmenter::finish(const Target& fragments) {
  if (ended_) return {};
  ended_ = true;
  demux_.finish();
  if (!started_) {
    // Which track leads may have changed now that the stream is known to have ended.
    scanned_ = 0;
    held_times_.reset();
    cuts_.clear();
    cutter_ready_ = false;
  }
  find_cuts();
  PLEXO_CHECK(emit(true, fragments));
  if (started_) return {};
  const ts::TsDemuxResult& r = demux_.result();
  if (!demux_.saw_sync_byte()) return fail(msg::kNoSyncByte);
  PLEXO_CHECK(ts::check_supported_video(r));
  return fail(r.pictures_without_parameter_sets ? ts::no_parameter_sets(r) : msg::kNoVideoData);
}

}  // namespace plexo::mp4w
