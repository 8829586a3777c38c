#include "mp4_writer/audio_timing.hpp"

#include "core/time.hpp"
#include "mp4_writer/timeline.hpp"

namespace plexo::mp4w {

AudioTrackTiming compute_audio_timing(const ts::TsDemuxResult& demuxed) {
  AudioTrackTiming timing;
  if (const auto& config = demuxed.audio_config; config && config->fits_two_bytes()) {
    timing.config = *config;
    timing.config.channel_configuration &= 0x0F;
  }
  const std::uint32_t sample_rate = timing.config.sample_rate();

  // At 48 kHz a frame is exactly 1920 ticks of 90 kHz, so the track can share the movie's
  // clock. Other rates count in their own samples so that frame durations never round.
  if (timing.config.sampling_frequency_index == aac::k48kHzIndex) {
    timing.timescale = kMovieTimescale;
    timing.sample_delta = static_cast<std::uint32_t>(std::uint64_t{aac::kFrameSamples} * kMovieTimescale / sample_rate);
  } else {
    timing.timescale = sample_rate;
    timing.sample_delta = aac::kFrameSamples;
  }
  const std::uint64_t frames = demuxed.audio_frames.size();
  timing.media_duration = frames * timing.sample_delta;
  timing.movie_duration = rescale(timing.media_duration, timing.timescale, kMovieTimescale);

  // Frames follow one another without gaps, so the first one's time follows from the first
  // that carries its own PTS.
  if (const auto& anchor = demuxed.audio_anchor) {
    const std::uint64_t before =
        rescale(std::uint64_t{anchor->frame} * aac::kFrameSamples, sample_rate, kMovieTimescale);
    timing.start = (anchor->pts - before) & (kClockWrap - 1);
  }
  return timing;
}

void align_tracks(VideoTiming& video, std::optional<AudioTrackTiming>& audio) {
  if (!audio || !audio->start || !video.presentation_start) return;
  const std::int64_t lead = clock_difference(*audio->start, *video.presentation_start);
  if (lead > 0) audio->empty_edit = static_cast<std::uint64_t>(lead);
  else video.empty_edit = static_cast<std::uint64_t>(-lead);
}

}  // namespace plexo::mp4w
