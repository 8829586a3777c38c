#include "box_mutator.hpp"
#include "fuzz_target.hpp"
#include "mp4_parser/operations.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)plexo::mp4::defragment(fuzz_input(data, size));
  return 0;
}
