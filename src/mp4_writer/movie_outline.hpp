// The movie of a converted stream before its samples: the box tree that both writers take
// (the progressive one for convert_ts_to_mp4, the fragment writer for convert_ts_to_fmp4 and
// the live segmenter), one track model per stream with its sample description, and each
// track's place on the timeline.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/buffer.hpp"
#include "mp4_parser/fragment_writer.hpp"
#include "mp4_parser/movie_writer.hpp"
#include "mp4_writer/audio_timing.hpp"
#include "mp4_writer/sample_entries.hpp"
#include "mp4_writer/video_timing.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::mp4w {

// A progressive file delays the later track with an empty edit; a fragmented one starts its
// decode times there instead (`MovieOutline::tracks`), and its headers carry no durations,
// since the samples follow in fragments.
enum class Layout : std::uint8_t { kProgressive, kFragmented };

// The sample descriptions the model's views point into.
struct TrackDescriptions {
  Buffer video;
  Buffer audio;
  std::vector<Buffer> more_audio;  // of the audio tracks after the first
};

// One audio track of the movie: its timing and the stream it is made of.
struct AudioTrackSource {
  const AudioTrackTiming* timing = nullptr;
  const ts::DemuxedAudio* stream = nullptr;
};

struct MovieOutline {
  mp4::MovieModel model;                     // tracks without samples
  std::vector<mp4::FragmentedTrack> tracks;  // per model track: ID, timescale, delay
};

// The fragmented movie's file type. CMAF's brand only where it holds: a CMAF track file
// carries one track, so a movie whose fragments hold both video and audio does not claim it.
inline mp4::FileType fragmented_file_type(std::size_t tracks) {
  if (tracks == 1) return {"iso6", 0, {"iso6", "cmfc", "isom", "mp41"}};
  return {"iso6", 0, {"iso6", "isom", "mp41"}};
}

// A video track when `video`, then an audio track for each of `audio` in that order, each
// with its stream's language. Several audio tracks are alternatives: one alternate group,
// the first enabled and the others not. The video's entries describe every generation of its
// parameter sets, or generation `generation` alone.
MovieOutline outline_movie(TrackDescriptions& keep, const ts::TsDemuxResult& d, const VideoTiming* video,
                           std::span<const AudioTrackSource> audio, Layout layout,
                           std::size_t generation = kEveryGeneration);
// The same with the result's own audio stream as the one audio track when `audio`.
MovieOutline outline_movie(TrackDescriptions& keep, const ts::TsDemuxResult& d, const VideoTiming* video,
                           const AudioTrackTiming* audio, Layout layout,
                           std::size_t generation = kEveryGeneration);

}  // namespace plexo::mp4w
