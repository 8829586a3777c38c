#include "fuzz_target.hpp"
#include "thumbnail/thumbnail.hpp"
#include "ts_mutator.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)plexo::thumbnail::thumbnail_from_ts(fuzz_input(data, size));
  return 0;
}
