// The thumbnail's plain walk of a file without sample tables to go by: 32-bit sizes of at
// least 8 only ("Invalid box size"), over the shared box cursor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bytes.hpp"
#include "core/error.hpp"
#include "mp4_parser/box_cursor.hpp"

namespace plexo::thumbnail {

// The first top-level box of `type`: "Box {} not found", or "Invalid box size" for a size
// below 8 met on the way.
Result<mp4::Box> find_top_level_box(ByteView input, FourCC type);

// The first direct child of `type` of `parent`: "Box {} not found in container", or
// "Invalid box size".
Result<mp4::Box> find_child_box(const mp4::Box& parent, FourCC type);

// The first sample's size from the stsz box that starts at file position `stsz` (read from
// the input, whatever the box's own size says).
Result<std::uint32_t> first_sample_size(ByteView input, std::size_t stsz);

}  // namespace plexo::thumbnail
