// The AAC track's description and timing, from the stream's own ADTS header and PTS.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "mp4_parser/boxes.hpp"
#include "mp4_writer/video_timing.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::mp4w {

inline constexpr std::uint32_t kAacFrameSamples = 1024;

// One entry of an edit list: media_time −1 is an empty edit.
using EditEntry = mp4::EditEntry;

struct AudioTrackTiming {
  std::uint8_t object_type = 2;
  std::uint8_t sampling_frequency_index = 3;
  std::uint8_t channel_configuration = 2;
  std::uint32_t sample_rate = 48000;
  std::uint16_t channel_count = 2;
  std::uint32_t timescale = 90000;  // media timescale
  std::uint32_t sample_delta = 1920;
  std::uint64_t media_duration = 0;   // media timescale
  std::uint64_t movie_duration = 0;   // the frames' length in the movie timescale
  std::uint64_t track_duration = 0;   // what the edit list presents, movie timescale
  std::vector<EditEntry> edits;       // empty: the media starts at movie time 0

  // Two bytes of AudioSpecificConfig: object type, frequency index, channel configuration.
  std::array<std::uint8_t, 2> audio_specific_config() const;
};

AudioTrackTiming compute_audio_timing(const ts::TsDemuxResult& demuxed, const VideoTiming& video);

}  // namespace plexo::mp4w
