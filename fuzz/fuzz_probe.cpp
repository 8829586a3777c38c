#include "fuzz_target.hpp"
#include "mp4_parser/probe.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)plexo::mp4::probe_mp4(fuzz_input(data, size));
  return 0;
}
