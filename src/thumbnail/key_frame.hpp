// Where a video track's first key frame lies in the file: from the progressive sample tables,
// or from the runs of the movie fragments when those tables are empty.
#pragma once

#include <cstdint>
#include <optional>

#include "core/bytes.hpp"
#include "core/error.hpp"
#include "mp4_parser/box_cursor.hpp"
#include "mp4_parser/fragment_runs.hpp"
#include "mp4_parser/movie.hpp"

namespace plexo::thumbnail {

struct SampleSpan {
  std::uint64_t offset = 0;  // from the start of the file
  std::uint64_t size = 0;
};

// The first sync sample of the track (stss; sample 1 when there is no stss), located with
// stsc, stco/co64 and stsz. Nothing when stsz, stsc or the chunk offsets are missing or hold
// no samples; an error when they contradict one another.
Result<std::optional<SampleSpan>> first_sync_sample(const mp4::SampleTableBoxes& tables);

// The first sync sample of `track_id` in the movie fragments, in file order. Nothing when
// the file has no moof; an error when it has fragments but none of them holds a key frame of
// the track.
Result<std::optional<SampleSpan>> first_fragment_key_frame(ByteView input,
                                                          const mp4::TrackExtendsTable& trex,
                                                          std::uint32_t track_id);

}  // namespace plexo::thumbnail
