#include "mp4_writer/audio_timing.hpp"

#include <algorithm>

#include "core/time.hpp"
#include "mp4_writer/timeline.hpp"

namespace plexo::mp4w {

namespace {

// AAC keeps the movie's 90 kHz clock at 48 kHz, where a frame is exactly 1920 ticks; at other
// rates, and for every other codec, the track counts in its own samples so that frame
// durations never round.
void aac_timing(const ts::DemuxedAudio& demuxed, AudioTrackTiming& timing) {
  if (const auto& config = demuxed.audio_config; config && config->fits_two_bytes()) {
    timing.config = *config;
    timing.config.channel_configuration &= 0x0F;
  }
  timing.sample_rate = timing.config.sample_rate();
  timing.channel_count = timing.config.channel_count();
  if (timing.config.sampling_frequency_index == aac::k48kHzIndex) {
    timing.timescale = kMovieTimescale;
    timing.sample_delta = static_cast<std::uint32_t>(std::uint64_t{aac::kFrameSamples} * kMovieTimescale / timing.sample_rate);
  } else {
    timing.timescale = timing.sample_rate;
    timing.sample_delta = aac::kFrameSamples;
  }
}

}  // namespace

AudioTrackTiming compute_audio_timing(const ts::DemuxedAudio& demuxed) {
  return compute_audio_timing(demuxed, demuxed.audio_frames.size(), demuxed.audio_anchor);
}

AudioTrackTiming compute_audio_timing(const ts::DemuxedAudio& demuxed, std::uint64_t frames,
                                      const std::optional<ts::AudioAnchor>& anchor) {
  AudioTrackTiming timing;
  timing.codec = demuxed.audio_codec;
  if (const auto& mpeg = demuxed.mpeg_audio_header; timing.codec == ts::AudioCodec::kMpegAudio && mpeg) {
    timing.sample_rate = mpeg->sample_rate;
    timing.frame_samples = mpeg->samples;
    timing.channel_count = mpeg->channels;
  } else if (const auto& ac3 = demuxed.ac3_frame; timing.codec == ts::AudioCodec::kAc3 && ac3) {
    timing.sample_rate = ac3->sample_rate;
    timing.frame_samples = ac3::kBlockSamples * ac3::kFrameBlocks;
    timing.channel_count = ac3->channel_count();
  } else if (const auto& ec3 = demuxed.ec3_config; timing.codec == ts::AudioCodec::kEac3 && ec3 && ec3->count > 0) {
    timing.sample_rate = ec3->substreams[0].frame.sample_rate;
    timing.frame_samples = ac3::kBlockSamples * ac3::kFrameBlocks;
    timing.channel_count = ec3->channel_count();
  } else {
    timing.codec = ts::AudioCodec::kAac;
    aac_timing(demuxed, timing);
  }
  if (timing.codec != ts::AudioCodec::kAac) {
    timing.timescale = timing.sample_rate;
    timing.sample_delta = timing.frame_samples;
  }
  timing.media_duration = frames * timing.sample_delta;
  timing.movie_duration = rescale(timing.media_duration, timing.timescale, kMovieTimescale);

  // Frames follow one another without gaps, so the first one's time follows from the first
  // that carries its own PTS.
  if (anchor) {
    const std::uint64_t before = rescale(std::uint64_t{anchor->frame} * timing.frame_samples,
                                         timing.sample_rate, kMovieTimescale);
    timing.start = (anchor->pts - before) & (ts::kClockWrap - 1);
  }
  return timing;
}

std::uint32_t AudioGapClock::lengthened(std::uint64_t ticks) {
  ticks_ = saturating_add(ticks_, ticks);
  const std::uint64_t media = rescale(ticks_, kMovieTimescale, timescale_);
  const std::uint64_t extra = media - media_;
  media_ = media;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{delta_} + extra, UINT32_MAX));
}

std::vector<std::uint32_t> keep_gaps(AudioTrackTiming& timing, std::span<const ts::AudioGap> gaps) {
  std::vector<std::uint32_t> durations;
  durations.reserve(gaps.size());
  AudioGapClock clock(timing);
  for (const ts::AudioGap& gap : gaps) {
    durations.push_back(clock.lengthened(gap.ticks));
    timing.media_duration = saturating_add(timing.media_duration, durations.back() - timing.sample_delta);
  }
  if (!gaps.empty()) timing.movie_duration = rescale(timing.media_duration, timing.timescale, kMovieTimescale);
  return durations;
}

void align_tracks(VideoTiming& video, std::span<AudioTrackTiming> audio) {
  // Each start as a distance from the first known one, so a clock wrap between them counts
  // as the short way round.
  std::optional<std::uint64_t> reference = video.presentation_start;
  for (const AudioTrackTiming& track : audio)
    if (!reference && track.start) reference = track.start;
  if (!reference) return;
  std::int64_t earliest = 0;
  for (const AudioTrackTiming& track : audio)
    if (track.start) earliest = std::min(earliest, ts::clock_difference(*track.start, *reference));
  if (video.presentation_start) video.empty_edit = static_cast<std::uint64_t>(-earliest);
  for (AudioTrackTiming& track : audio)
    if (track.start) track.empty_edit = static_cast<std::uint64_t>(ts::clock_difference(*track.start, *reference) - earliest);
}

void align_tracks(VideoTiming& video, std::optional<AudioTrackTiming>& audio) {
  if (!audio || !audio->start || !video.presentation_start) return;
  align_tracks(video, std::span<AudioTrackTiming>(&*audio, 1));
}

}  // namespace plexo::mp4w
