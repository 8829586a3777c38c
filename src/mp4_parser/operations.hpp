// The whole-file ISO BMFF operations: defragmentation, track muxing and timestamp reset.
#pragma once

#include "core/buffer.hpp"
#include "core/bytes.hpp"
#include "core/error.hpp"

namespace plexo::mp4 {

Result<Buffer> defragment(ByteView input);
Result<Buffer> mux_tracks(ByteView video, ByteView audio);
Result<Buffer> reset_timeline(ByteView input);
Result<Buffer> defragment_or_reset(ByteView input);

}  // namespace plexo::mp4
