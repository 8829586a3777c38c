#include "fuzz_target.hpp"
#include "mp4_parser/operations.hpp"

// The input is split in two at a point chosen by its first two bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plexo::ByteView input = fuzz_input(data, size);
  if (input.size() < 2) return 0;
  std::size_t split = ((std::size_t{input[0]} << 8) | input[1]) % (input.size() - 1);
  plexo::ByteView rest = input.subspan(2);
  split = split > rest.size() ? rest.size() : split;
  (void)plexo::mp4::mux_tracks(rest.first(split), rest.subspan(split));
  return 0;
}
