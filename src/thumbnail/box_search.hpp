// The thumbnail's own small box search: 32-bit sizes only, offsets into the whole file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>

#include "core/bytes.hpp"
#include "core/error.hpp"

namespace plexo::thumbnail {

// Offset of the first top-level box of `type`: "Box {} not found", or "Invalid box size" for a
// size below 8 met on the way.
Result<std::size_t> find_top_level_box(ByteView input, FourCC type);

// Offset of the first direct child of `type` of the box at `parent`: "Box {} not found in
// container", or "Invalid box size".
Result<std::size_t> find_child_box(ByteView input, std::size_t parent, FourCC type);

// The first sample's size from the stsz box at `stsz`.
Result<std::uint32_t> first_sample_size(ByteView input, std::size_t stsz);

// A box as the search sees it: where it starts and the bytes of it that the input holds
// (a size running past the end of the input is cut to the input).
struct BoxSpan {
  std::size_t offset = 0;
  ByteView bytes;
  ByteView payload() const { return bytes.subspan(8); }
};

// The box at `offset`, when its header lies inside the input and its size is at least 8.
std::optional<BoxSpan> box_at(ByteView input, std::size_t offset);

// Lenient searches for the key-frame locator: nullopt instead of an error.
std::optional<BoxSpan> child(ByteView input, const BoxSpan& parent, FourCC type,
                             std::size_t skip = 0);
std::optional<BoxSpan> descend(ByteView input, BoxSpan box, std::initializer_list<FourCC> path);

// Calls visit(BoxSpan) for each child of `parent` after its header and `skip` more bytes,
// until visit returns false or a child is malformed.
template <class Visit>
void for_each_child(ByteView input, const BoxSpan& parent, std::size_t skip, Visit&& visit) {
  const std::size_t end = parent.offset + parent.bytes.size();
  std::size_t at = parent.offset + 8 + skip;
  while (at < end && end - at >= 8) {
    auto box = box_at(input.first(end), at);
    if (!box) return;
    if (!visit(*box)) return;
    at += box->bytes.size();
  }
}

}  // namespace plexo::thumbnail
