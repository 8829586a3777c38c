// Joining separately delivered fragmented files (a video one and an audio one) into one
// progressive movie: each input is read as the defragmenter reads a file, and the tracks of
// both are rebuilt into the video input's movie box.
#pragma once

#include <vector>

#include "core/bytes.hpp"
#include "core/error.hpp"
#include "mp4_parser/box_cursor.hpp"
#include "mp4_parser/fragmented_file.hpp"
#include "mp4_parser/movie_writer.hpp"

namespace plexo::mp4 {

// One input's movie box and tracks. Everything views the input, which must stay alive until
// the output is written.
struct MuxInput {
  MediaInput file;
  FileLayout layout;
  Box moov;
  std::vector<TrackRecord> tracks;  // in trak order, with their samples
  std::vector<Box> traks;           // traks[i] is the trak that describes tracks[i]
};

// Reads one input's movie: its tracks (without samples yet), and for each the first trak whose
// track header carries its track ID.
Result<MuxInput> read_mux_tracks(const MediaInput& input);
// Then the samples its fragments give those tracks.
Status collect_mux_samples(MuxInput& in);

// The joined movie from the template `moov`: its movie header and other boxes, with `tracks`
// (rebuilt from `traks`, samples moved into the model) in place of its own traks.
Result<MovieModel> build_mux_moov(const Box& moov, std::vector<TrackRecord>& tracks,
                                  const std::vector<Box>& traks);

}  // namespace plexo::mp4
