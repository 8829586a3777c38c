#include "fragment_processor/fragment_processor.hpp"
#include "fuzz_target.hpp"

// One processor sees the input twice, as two consecutive segments, so state carried between
// calls is exercised too; a second one also takes the input as its initialisation segment,
// so that whatever tracks and timescales it describes meet the segments' track fragments.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plexo::segments::FragmentProcessor processor;
  (void)processor.process_segment(fuzz_input(data, size));
  (void)processor.process_segment(fuzz_input(data, size));
  processor.reset();

  plexo::segments::FragmentProcessor described;
  described.set_init_segment(fuzz_input(data, size));
  (void)described.process_segment(fuzz_input(data, size));
  (void)described.process_segment(fuzz_input(data, size));
  (void)described.base_decode_time();
  return 0;
}
