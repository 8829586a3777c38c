// The movie box of the converted file: movie header, video track, optional AAC track.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/buffer.hpp"
#include "mp4_writer/audio_timing.hpp"
#include "mp4_writer/sample_framing.hpp"
#include "mp4_writer/video_timing.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::mp4w {

inline constexpr std::uint32_t kVideoTrackId = 1;
inline constexpr std::uint32_t kAudioTrackId = 2;

// Everything the movie box says, worked out before a byte of it is written.
struct MoviePlan {
  const ts::TsDemuxResult& demuxed;
  VideoTiming video;
  std::optional<AudioTrackTiming> audio;  // present when there are audio frames
  bool large_offsets = false;             // co64 instead of stco
};

// Where the chunk offsets go, to be filled in once the media's position is known.
struct ChunkOffsetSlots {
  std::size_t video = 0;
  std::optional<std::size_t> audio;
};

ChunkOffsetSlots write_moov(Buffer& out, const MoviePlan& plan);

// The two tracks, written into the open moov box.
std::size_t write_video_trak(Buffer& out, const MoviePlan& plan);
std::size_t write_audio_trak(Buffer& out, const MoviePlan& plan);

// An upper bound of the movie box's size, for reserving the output once.
std::size_t movie_box_size_bound(const MoviePlan& plan);

}  // namespace plexo::mp4w
