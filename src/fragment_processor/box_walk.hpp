// The flat box walk of segment processing: 32-bit sizes only, headers read in place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bytes.hpp"
#include "core/error.hpp"

namespace plexo::fragments {

inline constexpr std::size_t kBoxHeader = 8;

// Calls visit(type, box) for each complete box of `container` from `start`. A size below 8
// fails the walk with "Invalid box size"; a box running past the container, or fewer than 8
// bytes left, ends it quietly (live segments are often cut short). `visit` returns a Status.
template <class Visit>
Status walk_boxes(ByteView container, std::size_t start, Visit&& visit) {
  std::size_t at = start;
  while (at < container.size() && container.size() - at >= kBoxHeader) {
    std::uint32_t size = *load_u32(container, at);
    if (size < kBoxHeader) return fail("Invalid box size");
    if (size > container.size() - at) break;
    ByteView box = container.subspan(at, size);
    PLEXO_CHECK(visit(FourCC::from(box.subspan(4, 4)), box));
    at += size;
  }
  return {};
}

}  // namespace plexo::fragments
