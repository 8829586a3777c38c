// A fragmented file read into per-track sample lists: the tracks the movie box declares, and
// the samples the movie fragments give each of them, with where their bytes are.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "mp4_parser/box_cursor.hpp"
#include "mp4_parser/fragment_runs.hpp"
#include "mp4_parser/media_input.hpp"
#include "mp4_parser/movie.hpp"
#include "mp4_parser/movie_writer.hpp"

namespace plexo::mp4 {

// A whole file's top level, read with the strict scan ("Box size {} exceeds available
// data" for a box running past the end).
struct FileLayout {
  std::vector<Box> boxes;
  MediaDataIndex media;  // the mdat payloads: where sample bytes may come from
  // Index of the first top-level moov: the movie readers play. A later one (a stale copy, or
  // junk appended to the file) never replaces it.
  std::optional<std::size_t> moov;
  bool has_moof = false;

  const Box* moov_box() const { return moov ? &boxes[*moov] : nullptr; }
};
Result<FileLayout> scan_file(const MediaInput& file);

// A track's decode timeline across its fragments. Sample times follow the durations; where a
// fragment's decode time says its samples start elsewhere, the track's previous sample absorbs
// the difference, so that every sample keeps the decode time the fragments gave it.
struct FragmentClock {
  // Decode time of the track's first fragment, when a fragment gave one, and the decode time
  // after the last sample so far.
  std::optional<std::uint64_t> first_decode_time;
  std::uint64_t next_decode_time = 0;

  // A traf of the track begins at `decode_time` (its tfdt, if any); `last_duration` is the
  // duration of the track's latest sample, which it may change (nullptr: no sample yet).
  void follow(std::optional<std::uint64_t> decode_time, std::uint32_t* last_duration);
  void advance(std::uint32_t duration) { next_decode_time += duration; }
};

struct TrackRecord {
  std::size_t track = 0;          // its track in the movie model (Movie::tracks)
  std::uint32_t track_id = 0;     // from tkhd; 0 when it cannot be read
  bool has_track_header = false;  // a tkhd gave the track ID
  std::uint32_t timescale = 1000; // from mdhd
  ByteView stsd;                  // payload of the track's sample description box, in the input
  // The samples in fragment order, and their bytes as pieces of the input (ready for the
  // movie writer).
  TrackSamples samples;
  FragmentClock clock;
  // The samples came from the movie's sample tables (a progressive file): their composition
  // offsets are kept as the tables give them.
  bool from_sample_tables = false;
  // The timescale of the durations in the trak's own edit list (its movie's); 0: the output
  // movie's.
  std::uint32_t edit_timescale = 0;
  // What the trak's own edit list presents, in the edit timescale, when its samples came from
  // the sample tables and every edit has a duration: the track's length in its movie (an
  // empty edit included). 0: the length of its media.
  std::uint64_t edited_duration = 0;
};

// One record per track of a movie, with no samples yet.
std::vector<TrackRecord> read_tracks(const Movie& movie);

// Reads every movie fragment among `layout`'s boxes into the records of their tracks.
// Sample times follow the durations; where a fragment's decode time says its samples start
// elsewhere, the track's previous sample absorbs the difference, so that every sample keeps
// the decode time the fragments gave it.
Status collect_fragments(const MediaInput& file, const FileLayout& layout,
                         const TrackExtendsTable& trex,
                         std::vector<TrackRecord>& tracks);

// Reads the samples the sample tables of `movie` list (a progressive file's tracks) into the
// records of their tracks, with their bytes as pieces of `file`; tracks whose tables list no
// sample (a fragmented file's) are left as they are. "Invalid sample table" when the tables
// disagree, "Sample size exceeds mdat bounds" when a sample's bytes are not in one mdat.
Status collect_table_samples(const MediaInput& file, const FileLayout& layout, const Movie& movie,
                             std::vector<TrackRecord>& tracks);

// What the fragments give a track, counted without keeping its samples.
struct FragmentCounts {
  std::uint64_t samples = 0;
  std::uint64_t sync_samples = 0;
  std::uint64_t duration = 0;  // media timescale, as collect_fragments times the samples
};
// Counts for each of `track_ids` (a run belongs to the first entry with its ID), read as
// collect_fragments reads them (each movie fragment loaded only while it is counted).
Result<std::vector<FragmentCounts>> count_fragments(const MediaInput& file, const FileLayout& layout,
                                                    const TrackExtendsTable& trex,
                                                    const std::vector<std::uint32_t>& track_ids);

}  // namespace plexo::mp4
