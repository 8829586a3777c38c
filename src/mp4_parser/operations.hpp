// The whole-file ISO BMFF operations: defragmentation, track muxing and timestamp reset.
#pragma once

#include <memory>

#include "core/buffer.hpp"
#include "core/bytes.hpp"
#include "core/error.hpp"

namespace plexo::mp4 {

class PlannedOutput;  // movie_writer.hpp

Result<Buffer> defragment(ByteView input);
Result<Buffer> mux_tracks(ByteView video, ByteView audio);
// The reset writes the input once with a few fields rewritten: planned up front, its size
// is the input's (less any moov box beyond the first).
Result<std::unique_ptr<PlannedOutput>> plan_reset_timeline(ByteView input);
Result<Buffer> reset_timeline(ByteView input);
Result<Buffer> defragment_or_reset(ByteView input);

}  // namespace plexo::mp4
