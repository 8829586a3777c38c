#include "thumbnail/box_search.hpp"

#include <algorithm>
#include <array>
#include <string>

namespace plexo::thumbnail {
namespace {

bool is_valid_utf8(const std::array<std::uint8_t, 4>& b) {
  std::size_t i = 0;
  while (i < b.size()) {
    const std::uint8_t lead = b[i];
    std::size_t extra;
    std::uint32_t smallest;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, smallest = 0x10000;
    } else {
      return false;
    }
    if (b.size() - i <= extra) return false;
    std::uint32_t code = lead & (0x3F >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((b[i + k] & 0xC0) != 0x80) return false;
      code = (code << 6) | (b[i + k] & 0x3F);
    }
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

// The four characters of a type for a message.
std::string type_name(FourCC type) {
  if (!is_valid_utf8(type.bytes)) return "unknown";
  return std::string(type.bytes.begin(), type.bytes.end());
}

}  // namespace

Result<std::size_t> find_top_level_box(ByteView input, FourCC type) {
  std::size_t at = 0;
  while (input.size() >= 8 && at <= input.size() - 8) {
    const std::uint32_t size = *load_u32(input, at);
    if (size < 8) return fail("Invalid box size");
    if (FourCC::from(input.subspan(at + 4, 4)) == type) return at;
    at += size;
  }
  return fail("Box " + type_name(type) + " not found");
}

Result<std::size_t> find_child_box(ByteView input, std::size_t parent, FourCC type) {
  const std::uint64_t parent_size = load_u32(input, parent).value_or(0);
  const std::uint64_t end = std::min<std::uint64_t>(parent + parent_size, input.size());
  if (end >= std::uint64_t{parent} + 16) {
    std::uint64_t at = parent + 8;
    while (at + 8 <= end) {
      const std::uint32_t size = *load_u32(input, at);
      if (size < 8) return fail("Invalid box size");
      if (FourCC::from(input.subspan(at + 4, 4)) == type) return static_cast<std::size_t>(at);
      at += size;
    }
  }
  return fail("Box " + type_name(type) + " not found in container");
}

Result<std::uint32_t> first_sample_size(ByteView input, std::size_t stsz) {
  if (input.size() < 20 || stsz > input.size() - 20) return fail("Invalid stsz box");
  const std::uint32_t sample_size = *load_u32(input, stsz + 12);
  if (sample_size != 0) return sample_size;
  auto first_entry = load_u32(input, stsz + 20);
  if (!first_entry) return fail("Invalid stsz box - no sample sizes");
  return *first_entry;
}

std::optional<BoxSpan> box_at(ByteView input, std::size_t offset) {
  auto size = load_u32(input, offset);
  if (!size || *size < 8 || input.size() - offset < 8) return std::nullopt;
  const std::size_t held = std::min<std::size_t>(*size, input.size() - offset);
  return BoxSpan{offset, input.subspan(offset, held)};
}

std::optional<BoxSpan> child(ByteView input, const BoxSpan& parent, FourCC type,
                             std::size_t skip) {
  std::optional<BoxSpan> found;
  for_each_child(input, parent, skip, [&](const BoxSpan& box) {
    if (FourCC::from(box.bytes.subspan(4, 4)) == type) found = box;
    return !found;
  });
  return found;
}

std::optional<BoxSpan> descend(ByteView input, BoxSpan box, std::initializer_list<FourCC> path) {
  for (FourCC type : path) {
    auto next = child(input, box, type);
    if (!next) return std::nullopt;
    box = *next;
  }
  return box;
}

}  // namespace plexo::thumbnail
