// The movie box of a progressive file, rebuilt from a fragmented file's movie box: headers
// get the new durations, each track gets complete sample tables.
#pragma once

#include <cstdint>
#include <vector>

#include "mp4_parser/box_reader.hpp"
#include "mp4_parser/fragments.hpp"

namespace plexo::mp4 {

// Chunk offset of a track whose real offset is not known yet (first pass of a two-pass
// layout); offsets never change a table's length.
inline constexpr std::uint64_t kPlaceholderChunkOffset = 8000;

// How one track is placed in the output movie.
struct TrakPlacement {
  std::uint64_t chunk_offset = kPlaceholderChunkOffset;  // of the first sample's bytes
  std::uint32_t movie_timescale = 1000;
  // Empty time before the track's media, in the movie timescale; non-zero writes an edit list.
  std::uint64_t start_delay = 0;
  bool wide_offsets = false;  // co64 instead of stco
};

struct MovieOptions {
  bool wide_offsets = false;
};

// Duration of a track's samples in its own timescale.
std::uint64_t media_duration(const TrackRecord& track);
// The movie timescale of a moov payload's mvhd (1000 without one).
std::uint32_t movie_timescale(ByteView moov_payload);
// `duration` in `from` units rescaled to `to` units (truncated; unchanged when `from` is 0).
std::uint64_t rescale(std::uint64_t duration, std::uint32_t from, std::uint32_t to);
// Each track's start after the earliest-starting track, in the movie timescale, from the
// tracks' first decode times; all zero when those agree or are absent.
std::vector<std::uint64_t> start_delays(const std::vector<TrackRecord>& tracks,
                                        std::uint32_t timescale);

Result<Buffer> rebuild_moov(ByteView moov_payload, const std::vector<TrackRecord>& tracks,
                            const std::vector<std::uint64_t>& chunk_offsets,
                            const MovieOptions& options = {});
Result<Buffer> rebuild_trak(ByteView trak_payload, const TrackRecord& track,
                            const TrakPlacement& placement);
Buffer rewrite_mvhd(ByteView mvhd_payload, std::uint64_t duration);

// The generated stbl payload of one track.
Buffer sample_table(const TrackRecord& track, std::uint64_t chunk_offset, bool wide_offsets);

}  // namespace plexo::mp4
