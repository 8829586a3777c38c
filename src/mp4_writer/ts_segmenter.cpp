#include "mp4_writer/ts_segmenter.hpp"

#include <algorithm>
#include <functional>
#include <span>

#include "core/messages.hpp"
#include "core/time.hpp"
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
// Where in the stream (every so many bytes from its first) waiting for audio may end.
constexpr std::uint64_t kMarkSpacing = 64 * 1024;
// How long the audio of a programme whose video stream has sent nothing runs (90 kHz) before
// it is converted alone; decided at a mark, before the tracks are fixed.
constexpr std::uint64_t kAudioOnlyAfter = 10 * kMovieTimescale;

}  // namespace

TsSegmenter::TsSegmenter(double fragment_duration, double max_fragment_duration)
    : fragment_ticks_(std::max<std::uint64_t>(1, static_cast<std::uint64_t>(fragment_duration * kMovieTimescale + 0.5))),
      max_fragment_ticks_(
          std::max<std::uint64_t>(1, static_cast<std::uint64_t>(max_fragment_duration * kMovieTimescale + 0.5))) {}

bool TsSegmenter::video_leads() const {
  const ts::TsDemuxResult& r = demux_.result();
  // A programme whose video stream sent nothing converts its audio alone.
  return r.video_pid && !audio_only_ && !(ended_ && r.video.empty());
}

std::uint32_t TsSegmenter::audio_duration(std::size_t i, std::vector<ts::AudioGap>::const_iterator& gap,
                                          AudioGapClock& clock) const {
  const auto& gaps = demux_.result().audio_gaps;
  while (gap != gaps.end() && gap->frame <= i) ++gap;
  return gap != gaps.end() && gap->frame == i + 1 ? clock.lengthened(gap->ticks) : audio_->sample_delta;
}

std::size_t TsSegmenter::audio_frames_before(std::int64_t end) const {
  const ts::TsDemuxResult& r = demux_.result();
  const mp4::FragmentedTrack& track = tracks_.back();
  AudioGapClock clock = *audio_gaps_;
  auto gap = r.audio_gaps.cbegin();
  std::uint64_t media = audio_media_;
  std::size_t n = 0;
  for (; n < r.audio_frames.size(); ++n) {
    const std::int64_t presented = static_cast<std::int64_t>(track.delay) +
                                   rescale_nearest(static_cast<std::int64_t>(media), track.timescale, kMovieTimescale);
    if (presented >= end) break;
    media += audio_duration(n, gap, clock);
  }
  return n;
}

// Takes the units the demultiplexer completed into the video's times.
void TsSegmenter::feed_units() {
  const ts::TsDemuxResult& r = demux_.result();
  const auto& stamps = r.unit_stamps;
  std::size_t unit = times_.count() - written_units_;
  auto stamp = std::lower_bound(stamps.begin(), stamps.end(), unit,
                                [](const ts::UnitStamp& s, std::size_t u) { return s.unit < u; });
  for (; unit < r.access_units.size(); ++unit) {
    while (stamp != stamps.end() && stamp->unit < unit) ++stamp;
    times_.add(stamp != stamps.end() && stamp->unit == unit ? &stamp->times : nullptr);
  }
  if (ended_) times_.finish();
}

void TsSegmenter::cut_at(std::size_t unit, const Scanned& at) {
  if (!shift_) shift_ = at.shift;
  cuts_.push_back({unit, at.presented});
  fragment_start_ = at.decode;
  fragment_units_ = 0;
}

// A fragment begins at the leading track's first sync sample at or after each multiple of the
// fragment duration, as in the whole-stream conversion; a video fragment also ends before the
// picture that would make it last longer than the maximum (at that picture when it holds
// only one), or once it holds kMaxFragmentPictures.
void TsSegmenter::find_cuts() {
  const ts::TsDemuxResult& r = demux_.result();
  if (video_leads()) {
    if (!cutter_ready_) cutter_ = mp4::FragmentCutter(static_cast<std::int64_t>(fragment_ticks_));
    cutter_ready_ = true;
    feed_units();
    const auto& units = r.access_units;
    // Each unit is looked at once its times are decided, as the whole stream decides them.
    for (; scanned_ < units.size() && times_.decided(written_units_ + scanned_); ++scanned_) {
      const std::size_t unit = written_units_ + scanned_;
      const std::int64_t decode = times_.decode(unit);
      if (unit == 0) origin_ = decode;
      else scan_decode_ += saturate_u32(decode - scan_previous_);
      scan_previous_ = decode;
      const std::int64_t composition = times_.composition(unit);
      earliest_ = std::min(earliest_.value_or(decode + composition), decode + composition);
      const std::int64_t shift = shift_.value_or(*earliest_ - origin_);
      const Scanned here{scan_decode_, static_cast<std::int64_t>(scan_decode_) + clamp_i32(composition - shift), shift};
      // A new generation of parameter sets begins a fragment of its own.
      const bool new_entry =
          scanned_ > 0 && ts::parameter_generation(r, scanned_) != ts::parameter_generation(r, scanned_ - 1);
      if (unit != 0 && units[scanned_].sync && (cutter_.begins_fragment(false, true, here.presented) || new_entry)) {
        cut_at(scanned_, here);
      } else if (unit != 0) {
        if (scan_decode_ - fragment_start_ > max_fragment_ticks_ && fragment_units_ > 1) {
          cut_at(scanned_ - 1, previous_);
          fragment_units_ = 1;
          bounded_ = true;
        }
        if (scan_decode_ - fragment_start_ > max_fragment_ticks_ || fragment_units_ >= kMaxFragmentPictures) {
          cut_at(scanned_, here);
          bounded_ = true;
        }
      }
      ++fragment_units_;
      previous_ = here;
    }
  } else if (!r.audio_frames.empty()) {
    if (!audio_) audio_ = compute_audio_timing(r);
    if (!cutter_ready_) {
      cutter_ = mp4::FragmentCutter(
          rescale_nearest(static_cast<std::int64_t>(fragment_ticks_), kMovieTimescale, audio_->timescale));
      scan_media_ = 0;
      scan_gaps_.emplace(*audio_);
    }
    cutter_ready_ = true;
    auto gap = std::lower_bound(r.audio_gaps.cbegin(), r.audio_gaps.cend(), scanned_ + 1,
                                [](const ts::AudioGap& g, std::size_t f) { return g.frame < f; });
    for (; scanned_ < r.audio_frames.size(); ++scanned_) {
      const std::uint64_t frame = audio_written_ + scanned_;
      const auto presented = static_cast<std::int64_t>(scan_media_);
      if (cutter_.begins_fragment(frame == 0, true, presented)) cuts_.push_back({scanned_, presented});
      scan_media_ += audio_duration(scanned_, gap, *scan_gaps_);
    }
  }
}

Result<Buffer> TsSegmenter::write_init() {
  TrackDescriptions descriptions;
  MovieOutline outline = outline_movie(descriptions, demux_.result(), has_video_ ? &video_timing_ : nullptr,
                                       has_audio_ ? &*audio_ : nullptr, Layout::kFragmented, generation_);
  tracks_ = outline.tracks;
  std::vector<mp4::TrackSamples> none;
  const mp4::MoviePlan init = PLEXO_TRY(mp4::plan_init_segment(std::move(outline.model), tracks_, &none));
  return init.write();
}

// Writes the initialisation segment once the tracks are known: the video's parameter sets and
// the audio's configuration (or, after a while, the video alone). `units`: the leading
// samples of the first fragment.
Result<bool> TsSegmenter::start(std::size_t units, bool ended, bool mark) {
  const ts::TsDemuxResult& r = demux_.result();
  const bool lead_video = video_leads();
  if (lead_video && r.access_units.empty()) return false;
  has_video_ = lead_video;
  has_audio_ = !r.audio_frames.empty();
  if (!has_video_ && !has_audio_) return false;
  // Audio whose first frames carry no PTS is timed from the first that does: wait for it as well.
  const bool waited = ended || (mark && cuts_.size() >= kAudioWaitFragments);
  if (!has_audio_ && r.audio_pid && !waited) return false;
  if (has_audio_ && !r.audio_anchor && !waited) return false;
  gave_up_waiting_ = gave_up_waiting_ || (!ended && ((!has_audio_ && r.audio_pid) || (has_audio_ && !r.audio_anchor)));

  VideoTiming video;
  std::vector<std::int64_t> raise;
  if (has_video_) {
    // Without a fragment cut, the stream ended: all its units were looked at.
    if (!shift_) shift_ = earliest_.value_or(0) - origin_;
    if (times_.any_pts()) {
      // The source PTS that media time 0 presents.
      const auto wrap = static_cast<std::int64_t>(ts::kClockWrap);
      video.presentation_start = static_cast<std::uint64_t>((((*shift_ + origin_) % wrap) + wrap) % wrap);
    }
    // Negative composition offsets are raised by the most negative one's magnitude, as the
    // whole-stream conversion does; the first fragment's decide.
    std::int64_t lowest = 0;
    for (std::size_t i = 0; i < units; ++i)
      lowest = std::min<std::int64_t>(lowest, clamp_i32(times_.composition(i) - *shift_));
    raise.push_back(-lowest);
    video_raise_ = -lowest;
  }
  audio_.reset();
  if (has_audio_) {
    audio_ = compute_audio_timing(r);
    audio_gaps_.emplace(*audio_);
    raise.push_back(0);
  }
  align_tracks(video, audio_);
  video_timing_ = video;
  init_ = PLEXO_TRY(write_init());
  sequence_.emplace(mp4::fragment_tracks(tracks_, raise, kMovieTimescale));
  started_ = true;
  return true;
}

Status TsSegmenter::emit(bool ended, bool mark, const Target& fragments) {
  for (;;) {
    const ts::TsDemuxResult& r = demux_.result();
    const bool lead_video = video_leads();
    const bool last = cuts_.empty();
    if (last && !ended) return {};
    const std::size_t lead_held = lead_video ? r.access_units.size() : r.audio_frames.size();
    const std::size_t k = last ? lead_held : cuts_.front().unit;
    if (!started_) {
      PLEXO_CHECK(ts::check_supported_video(r));
      if (!PLEXO_TRY(start(k, ended, mark))) return {};
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
                                 rescale_nearest(cuts_.front().presented, lead.timescale, kMovieTimescale);
        frames = audio_frames_before(end);
        if (frames == r.audio_frames.size() && !ended && !(mark && cuts_.size() >= kAudioWaitFragments)) return {};
        gave_up_waiting_ = gave_up_waiting_ || (frames == r.audio_frames.size() && !ended);
        // The last frame held waits for the next, whose PTS may show a gap it must last over.
        if (frames > 0 && frames == r.audio_frames.size() && !ended) --frames;
      }
    }
    const std::size_t units = lead_video ? k : 0;
    if (units == 0 && frames == 0) {
      demux_.release(0, has_audio_ ? 0 : r.audio_frames.size());
      return {};
    }

    if (r.too_many_parameter_changes) return fail(msg::kTooManyParameterChanges);
    if (has_video_ && units > 0 && ts::parameter_generation(r, 0) != generation_) {
      // The fragment begins a generation of parameter sets the last init does not describe.
      generation_ = ts::parameter_generation(r, 0);
      init_changes_.push_back({fragments_written_, PLEXO_TRY(write_init())});
    }

    std::vector<OutputSample> video_samples, audio_samples;
    std::uint64_t video_duration = 0;
    if (has_video_ && units > 0) {
      for (std::size_t i = 0; i < units; ++i) {
        const std::uint64_t size = r.sample_size(i);
        if (!mp4::fits_u32(size))
          return fail(r.video_codec == VideoCodec::kHevc ? msg::kHevcAccessUnitTooLarge : msg::kAccessUnitTooLarge);
        // Each sample lasts until the next one decodes; the last lasts as long as the one before.
        const std::size_t unit = written_units_ + i;
        if (unit + 1 < times_.count())
          last_duration_ = saturate_u32(times_.decode(unit + 1) - times_.decode(unit));
        const std::int32_t offset = clamp_i32(times_.composition(unit) - *shift_);
        offset_below_raise_ = offset_below_raise_ || offset < -video_raise_;
        video_samples.push_back(OutputSample{static_cast<std::uint32_t>(size), last_duration_, offset,
                                             r.access_units[i].sync != 0,
                                             static_cast<std::uint8_t>(r.access_units[i].leading)});
        video_duration += last_duration_;
      }
    }
    auto gap = r.audio_gaps.cbegin();
    gapped_ = gapped_ || !r.audio_gaps.empty();
    for (std::size_t j = 0; j < frames; ++j) {
      const std::uint32_t duration = audio_duration(j, gap, *audio_gaps_);
      audio_samples.push_back(OutputSample{static_cast<std::uint32_t>(r.audio_frames[j].size), duration, 0, true});
      audio_media_ += duration;
    }

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
    ++fragments_written_;
    if (has_video_ && units > 0) {
      // Leading pictures right after the first that need pictures before it (RASL) do not
      // decode from this fragment on.
      bool clean = r.access_units[0].sync && !r.access_units[0].recovery;
      for (std::size_t i = 1; clean && i < units && r.access_units[i].leading; ++i)
        clean = r.access_units[i].leading != 1;
      independent_ = independent_ && clean;
    }

    written_units_ += units;
    times_.forget(written_units_);
    video_decode_ += video_duration;
    audio_written_ += frames;
    // Audio that came after the tracks were fixed without it is not kept, nor video that
    // came after the audio was fixed to go alone.
    demux_.release(lead_video ? units : r.access_units.size(), has_audio_ ? frames : r.audio_frames.size());
    if (last) return {};
    cuts_.erase(cuts_.begin());
    for (Cut& cut : cuts_) cut.unit -= k;
    scanned_ -= k;
  }
}

Status TsSegmenter::push(ByteView chunk, const Target& fragments) {
  if (ended_) return fail(msg::kStreamEnded);
  // The stream is taken up to each mark in turn, and what is decided by how much of it has
  // come (giving up waiting for audio) is decided at the marks only, so that the fragments
  // are the same however the stream was cut into pieces.
  while (!chunk.empty()) {
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), kMarkSpacing - received_ % kMarkSpacing));
    demux_.push(chunk.first(take));
    chunk = chunk.subspan(take);
    received_ += take;
    const bool mark = received_ % kMarkSpacing == 0;
    const ts::TsDemuxResult& r = demux_.result();
    if (!started_ && mark && r.video_pid && !audio_only_ && r.video.empty() &&
        ts::audio_frame_clock(r).ticks(r.audio_frames.size()) >= kAudioOnlyAfter) {
      audio_only_ = true;
      restart_cuts();
    }
    if (!started_ && mark) {
      // Before the tracks are known, keep only what they may still need.
      const std::size_t excess = r.audio_frames.size() > kMaxHeldAudioFrames && video_leads() && r.access_units.empty()
                                     ? r.audio_frames.size() - kMaxHeldAudioFrames
                                     : 0;
      if (!video_leads()) scanned_ -= std::min(scanned_, excess);
      demux_.release(0, excess);
    }
    // A programme whose video is not converted is refused once its PMT has said so.
    if (!started_) PLEXO_CHECK(ts::check_supported_video(r));
    find_cuts();
    PLEXO_CHECK(emit(false, mark, fragments));
  }
  return {};
}

void TsSegmenter::restart_cuts() {
  scanned_ = 0;
  scan_decode_ = 0;
  earliest_.reset();
  shift_.reset();
  cuts_.clear();
  cutter_ready_ = false;
  fragment_start_ = 0;
  fragment_units_ = 0;
}

Status TsSegmenter::finish(const Target& fragments) {
  if (ended_) return {};
  ended_ = true;
  demux_.finish();
  // Which track leads may have changed now that the stream is known to have ended.
  if (!started_) restart_cuts();
  find_cuts();
  PLEXO_CHECK(emit(true, true, fragments));
  if (started_) return {};
  const ts::TsDemuxResult& r = demux_.result();
  if (!demux_.saw_sync_byte()) return fail(msg::kNoSyncByte);
  PLEXO_CHECK(ts::check_supported_video(r));
  return fail(r.pictures_without_parameter_sets ? ts::no_parameter_sets(r) : msg::kNoVideoData);
}

}  // namespace plexo::mp4w
