#include "mp4_writer/audio_timing.hpp"

#include "mp4_writer/timeline.hpp"

namespace plexo::mp4w {
namespace {

constexpr std::array<std::uint32_t, 13> kSamplingFrequencies = {
    96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
constexpr std::uint8_t k48kHzIndex = 3;

std::uint16_t channel_count(std::uint8_t configuration) {
  if (configuration >= 1 && configuration <= 6) return configuration;
  if (configuration == 7) return 8;
  return 2;  // 0: the layout is in the bitstream; stereo is the usual reading
}

// x × to / from, rounded down, without overflow for any realistic duration.
std::uint64_t rescale(std::uint64_t x, std::uint64_t to, std::uint64_t from) {
  return static_cast<std::uint64_t>(static_cast<unsigned __int128>(x) * to / from);
}

}  // namespace

std::array<std::uint8_t, 2> AudioTrackTiming::audio_specific_config() const {
  return {static_cast<std::uint8_t>((object_type << 3) | (sampling_frequency_index >> 1)),
          static_cast<std::uint8_t>(((sampling_frequency_index & 1) << 7) |
                                    ((channel_configuration & 0x0F) << 3))};
}

AudioTrackTiming compute_audio_timing(const ts::TsDemuxResult& demuxed) {
  AudioTrackTiming timing;
  if (const auto& config = demuxed.audio_config;
      config && config->sampling_frequency_index < kSamplingFrequencies.size() &&
      config->object_type >= 1 && config->object_type < 31) {
    timing.object_type = config->object_type;
    timing.sampling_frequency_index = config->sampling_frequency_index;
    timing.channel_configuration = config->channel_configuration & 0x0F;
  }
  timing.sample_rate = kSamplingFrequencies[timing.sampling_frequency_index];
  timing.channel_count = channel_count(timing.channel_configuration);

  // At 48 kHz a frame is exactly 1920 ticks of 90 kHz, so the track can share the movie's
  // clock. Other rates count in their own samples so that frame durations never round.
  if (timing.sampling_frequency_index == k48kHzIndex) {
    timing.timescale = kMovieTimescale;
    timing.sample_delta = static_cast<std::uint32_t>(
        std::uint64_t{kAacFrameSamples} * kMovieTimescale / timing.sample_rate);
  } else {
    timing.timescale = timing.sample_rate;
    timing.sample_delta = kAacFrameSamples;
  }
  const std::uint64_t frames = demuxed.audio_frames.size();
  timing.media_duration = frames * timing.sample_delta;
  timing.movie_duration = rescale(timing.media_duration, kMovieTimescale, timing.timescale);

  // Frames follow one another without gaps, so the first one's time follows from the first
  // that carries its own PTS.
  if (const auto& anchor = demuxed.audio_anchor) {
    const std::uint64_t before =
        rescale(std::uint64_t{anchor->frame} * kAacFrameSamples, kMovieTimescale, timing.sample_rate);
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
