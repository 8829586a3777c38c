// The movie box of a progressive file, rebuilt from a fragmented file's movie box as a
// template: boxes that need no change are kept byte for byte, the movie, track and media
// headers get the new durations (version 1 where a duration needs 64 bits), each track gets a
// generated sample table, and a track that starts later than the earliest one gets an empty
// edit of the difference. The result is a MovieModel for the movie writer.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/time.hpp"
#include "mp4_parser/fragmented_file.hpp"
#include "mp4_parser/movie.hpp"
#include "mp4_parser/movie_writer.hpp"

namespace plexo::mp4 {

// The movie timescale of a movie's mvhd (1000 without a readable one).
inline std::uint32_t movie_timescale(const Movie& movie) { return movie.timescale.value_or(1000); }
// Each track's start after the earliest-starting track, in the movie timescale, from the
// tracks' first decode times; all zero when those agree or are absent.
std::vector<std::uint64_t> start_delays(const std::vector<TrackRecord>& tracks,
                                        std::uint32_t timescale);

// How one track is placed in the output movie.
struct TrakPlacement {
  std::size_t model_track = 0;      // index of its samples in MovieModel::tracks
  std::uint32_t movie_timescale = 1000;
  std::uint64_t start_delay = 0;    // movie timescale; non-zero writes an edit list
};

// The trak of `track` from the template `trak`; its samples are model track
// `placement.model_track`.
Result<BoxNode> rebuild_trak(const MovieTrack& trak, const TrackRecord& track,
                             const TrakPlacement& placement);
// The mvhd with new times (zero), duration and, when given, next track ID; a header too
// short to read is kept.
BoxNode rewrite_mvhd(const Box& mvhd, std::uint64_t duration,
                     std::optional<std::uint32_t> next_track_id = std::nullopt);

// The movie's duration in `timescale`: the latest end among the tracks, each starting after
// its delay (see start_delays).
std::uint64_t movie_duration(const std::vector<TrackRecord>& tracks,
                             const std::vector<std::uint64_t>& delays, std::uint32_t timescale);
// Moves every record's samples into `model` (model track i is record i), laid out as a
// progressive file holds them: one chunk per sample, sync samples listed.
void move_samples_into(MovieModel& model, std::vector<TrackRecord>& tracks);
// Whether a box found among a movie box's children belongs there: boxes that stand only at a
// file's top level (fragments, media data, file and segment headers, indexes, another movie
// box) are what a movie box of size 0 swallows from the rest of the file.
bool belongs_in_movie(FourCC type);
// Players refuse a movie whose boxes nest deeper than this, the file's top level being 1.
inline constexpr std::size_t kPlayableDepth = 10;
// Adds `box` unchanged to `parent`, unless its boxes would nest deeper than players read;
// `depth` is where the box stands in the file (a movie box's children: 2).
void keep_box(BoxNode& parent, const Box& box, std::size_t depth);
// The file type of every progressive file rebuilt from fragments.
FileType progressive_file_type();

// The whole movie of `tracks` (whose samples move into the model, in track order) from the
// template `moov`. A trak whose track ID has no record is kept unchanged; a trak without a
// readable track header is left out.
Result<MovieModel> rebuild_movie(const Movie& movie, std::vector<TrackRecord>& tracks,
                                 FileType file_type);

}  // namespace plexo::mp4
