// The audio track's description and timing, from the stream's own first frame and PTS.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codecs/aac/audio_specific_config.hpp"
#include "mp4_parser/bit_rates.hpp"
#include "mp4_writer/video_timing.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::mp4w {

struct AudioTrackTiming {
  ts::AudioCodec codec = ts::AudioCodec::kAac;
  // AAC: the stream's own, when its first ADTS header gives one that fits an esds; else AAC
  // LC, 48 kHz, stereo.
  aac::AudioSpecificConfig config;
  std::uint32_t sample_rate = 48000;
  std::uint32_t frame_samples = aac::kFrameSamples;  // PCM samples per channel in a sample
  std::uint16_t channel_count = 2;
  std::uint32_t timescale = 90000;  // media timescale
  std::uint32_t sample_delta = 1920;
  std::uint64_t media_duration = 0;   // media timescale
  std::uint64_t movie_duration = 0;   // the frames' length in the movie timescale
  // The source PTS (33-bit clock) at which the first frame is presented; absent when no
  // frame carries one.
  std::optional<std::uint64_t> start;
  std::uint64_t empty_edit = 0;  // movie time before the first frame
  // Measured over the track's frames (measure_rates); absent while they are not all known
  // (a live stream's initialisation segment).
  std::optional<mp4::StreamRates> rates;
};

AudioTrackTiming compute_audio_timing(const ts::DemuxedAudio& demuxed);
// The same for `frames` frames, the first with a PTS `anchor`, where `demuxed` holds the
// stream's facts but not all its frames.
AudioTrackTiming compute_audio_timing(const ts::DemuxedAudio& demuxed, std::uint64_t frames,
                                      const std::optional<ts::AudioAnchor>& anchor);

// A meter for the track's frames, each `frame_samples` at `sample_rate`.
inline mp4::RateMeter rate_meter(const AudioTrackTiming& a) { return mp4::RateMeter(a.frame_samples, a.sample_rate); }

// Where packets were lost, the audio's timestamps show a gap (ts::AudioGap): the frame before
// it lasts that much longer, so that every later frame keeps its source time. Each gap's
// ticks are taken into the media timescale as the change of the running total, so that the
// roundings do not add up; a duration stops at the largest a sample table holds.
class AudioGapClock {
 public:
  explicit AudioGapClock(const AudioTrackTiming& timing) : timescale_(timing.timescale), delta_(timing.sample_delta) {}
  // What the frame before a gap of `ticks` (90 kHz) lasts, in the media timescale.
  std::uint32_t lengthened(std::uint64_t ticks);

 private:
  std::uint32_t timescale_, delta_;
  std::uint64_t ticks_ = 0, media_ = 0;
};

// The durations of the frames before `gaps` (in their order); the track's media and movie
// durations grow by what they add.
std::vector<std::uint32_t> keep_gaps(AudioTrackTiming& timing, std::span<const ts::AudioGap> gaps);

// The movie starts with whichever track starts first; the others wait behind an empty edit
// of the difference. No edit skips media.
void align_tracks(VideoTiming& video, std::span<AudioTrackTiming> audio);
void align_tracks(VideoTiming& video, std::optional<AudioTrackTiming>& audio);

// What each track presents in the movie timescale, its empty edit included.
inline std::uint64_t track_duration(const VideoTiming& v) { return v.empty_edit + v.duration; }
inline std::uint64_t track_duration(const AudioTrackTiming& a) { return a.empty_edit + a.movie_duration; }

}  // namespace plexo::mp4w
