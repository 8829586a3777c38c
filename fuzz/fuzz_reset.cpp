#include "fuzz_target.hpp"
#include "mp4_parser/operations.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)plexo::mp4::defragment_or_reset(fuzz_input(data, size));
  (void)plexo::mp4::reset_timeline(fuzz_input(data, size));
  return 0;
}
