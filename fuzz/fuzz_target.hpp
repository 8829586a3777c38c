// Shared set-up of the fuzz targets: the demultiplexer's diagnostic lines go to /dev/null,
// and inputs that hold several files or segments are cut at their top-level boxes.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "box_tree.hpp"
#include "core/bytes.hpp"

inline plexo::ByteView fuzz_input(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDOUT_FILENO);
    return true;
  }();
  (void)quiet;
  return {data, size};
}

// Cuts the input before every top-level box whose type starts a new part: `is_start` sees
// the box's type and whether the box before it was one that may lead a part on its own (so
// that an `styp` and the `moof` after it stay together). The first part runs from the first
// byte to the first cut; a size that cannot be read leaves the rest to the last part.
template <class IsStart>
std::vector<plexo::ByteView> cut_at_top_level(plexo::ByteView input, IsStart is_start) {
  std::vector<std::size_t> starts = fuzz::top_level_starts(input.data(), input.size());
  std::vector<std::size_t> cuts;
  const char* previous = nullptr;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const char* type = reinterpret_cast<const char*>(input.data() + starts[i] + 4);
    if (starts[i] != 0 && is_start(type, previous)) cuts.push_back(starts[i]);
    previous = type;
  }
  std::vector<plexo::ByteView> parts;
  std::size_t from = 0;
  for (std::size_t cut : cuts) {
    parts.push_back(input.subspan(from, cut - from));
    from = cut;
  }
  parts.push_back(input.subspan(from));
  return parts;
}

inline bool is_type(const char* type, const char (&expected)[5]) {
  return type != nullptr && std::memcmp(type, expected, 4) == 0;
}
