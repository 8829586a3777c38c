// The whole-file ISO BMFF operations: defragmentation, track muxing and timestamp reset.
//
// An operation that writes a whole file is planned first: plan_* reads the input, lays the
// output out and returns its exact size with a writer; the caller provides a span of that
// size (the Python result object itself) and the writer fills it in one pass. The input must
// stay alive and unchanged until the write is done. The Buffer-returning forms do both steps
// into a new buffer.
#pragma once

#include <memory>

#include "core/buffer.hpp"
#include "core/bytes.hpp"
#include "core/error.hpp"
#include "mp4_parser/media_input.hpp"
#include "mp4_parser/movie_writer.hpp"

namespace plexo::mp4 {

Result<std::unique_ptr<PlannedOutput>> plan_defragment(const MediaInput& input);
Result<Buffer> defragment(ByteView input);

// What the muxer does with an audio track whose ID a video track already uses: refuse the
// pair, or give the audio track the lowest free ID (in its tkhd, the movie's next track ID
// and every track reference of the audio input).
enum class CollidingTrackIds : bool { kRefused, kRenumbered };
Result<std::unique_ptr<PlannedOutput>> plan_mux_tracks(
    const MediaInput& video, const MediaInput& audio,
    CollidingTrackIds colliding = CollidingTrackIds::kRefused);
Result<Buffer> mux_tracks(ByteView video, ByteView audio,
                          CollidingTrackIds colliding = CollidingTrackIds::kRefused);
// The reset writes the input once with a few fields rewritten: planned up front, its size
// is the input's (less any moov box beyond the first).
Result<std::unique_ptr<PlannedOutput>> plan_reset_timeline(const MediaInput& input);
Result<Buffer> reset_timeline(ByteView input);
// Defragments a fragmented file; resets any file that defragmenting refuses.
Result<std::unique_ptr<PlannedOutput>> plan_defragment_or_reset(ByteView input);
Result<Buffer> defragment_or_reset(ByteView input);

}  // namespace plexo::mp4
