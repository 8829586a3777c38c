#include "box_mutator.hpp"
#include "fuzz_target.hpp"
#include "mp4_parser/operations.hpp"

// convert_mp4_reset_timestamps: defragmentation or timestamp reset, by the input's kind.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)plexo::mp4::defragment_or_reset(fuzz_input(data, size));
  return 0;
}
