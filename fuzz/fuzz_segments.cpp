#include "fragment_processor/fragment_processor.hpp"
#include "fuzz_target.hpp"

// One processor sees the input twice, as two consecutive segments, so state carried between
// calls is exercised too.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plexo::segments::FragmentProcessor processor;
  (void)processor.process_segment(fuzz_input(data, size));
  (void)processor.process_segment(fuzz_input(data, size));
  processor.reset();
  return 0;
}
