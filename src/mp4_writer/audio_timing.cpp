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

AudioTrackTiming compute_audio_timing(const ts::TsDemuxResult& demuxed, const VideoTiming& video) {
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

  // Where the first frame stands against the video's movie time 0, when both are known.
  std::optional<std::int64_t> start;
  if (!demuxed.audio_frame_pts.empty() && demuxed.audio_frame_pts.front() &&
      video.presentation_origin_raw)
    start = clock_difference(*demuxed.audio_frame_pts.front(), *video.presentation_origin_raw);

  // At 48 kHz a frame is exactly 1920 ticks of 90 kHz, so the track can share the movie's
  // clock. Other rates count in their own samples so that frame durations never round, and
  // so does a track whose edit skips into it: players trim the decoded samples by media_time
  // read as a sample count.
  if (timing.sampling_frequency_index == k48kHzIndex && !(start && *start < 0)) {
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
  timing.track_duration = timing.movie_duration;

  // The first frame is presented where its PTS stands against the video's movie time 0.
  if (!start) return timing;
  if (*start > 0) {
    const auto delay = static_cast<std::uint64_t>(*start);
    timing.edits.push_back({delay, -1});
    timing.edits.push_back({timing.movie_duration, 0});
    timing.track_duration = delay + timing.movie_duration;
  } else if (*start < 0) {
    const auto skip = static_cast<std::uint64_t>(-*start);
    const std::uint64_t shown = timing.movie_duration > skip ? timing.movie_duration - skip : 0;
    timing.edits.push_back(
        {shown, static_cast<std::int64_t>(rescale(skip, timing.timescale, kMovieTimescale))});
    timing.track_duration = shown;
  }
  return timing;
}

}  // namespace plexo::mp4w
