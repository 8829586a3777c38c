#include "box_mutator.hpp"
#include "fuzz_target.hpp"
#include "thumbnail/thumbnail.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)plexo::thumbnail::thumbnail_from_mp4(fuzz_input(data, size));
  return 0;
}
