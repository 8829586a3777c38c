#include "box_mutator.hpp"
#include "fragment_processor/fragment_processor.hpp"
#include "fuzz_target.hpp"

#include <vector>

// A live stream in one input: the initialisation segment (every box before the first `styp`
// or `moof`), then one media segment per `styp`, or per `moof` not led by an `styp`, as an
// fMP4 HLS rendition laid end to end. The same sequence goes through a fresh processor and
// through one that has been reset after seeing it: both must give the same bytes, since a
// reset forgets every track's base.
namespace {

bool starts_segment(const char* type, const char* previous) {
  return is_type(type, "styp") || (is_type(type, "moof") && !is_type(previous, "styp"));
}

std::vector<std::vector<std::uint8_t>> run(plexo::fragment_processor::FragmentProcessor& processor,
                                           const std::vector<plexo::ByteView>& parts) {
  std::vector<std::vector<std::uint8_t>> outputs;
  processor.set_init_segment(parts[0]);
  for (std::size_t i = 1; i < parts.size(); ++i) {
    (void)processor.check_segment(parts[i]);  // the package's check of a whole segment
    auto result = processor.process_segment(parts[i]);
    if (result) {
      outputs.emplace_back(result.value().data(), result.value().data() + result.value().size());
    } else {
      outputs.emplace_back();
    }
    (void)processor.base_decode_time();
  }
  return outputs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plexo::ByteView input = fuzz_input(data, size);
  auto parts = cut_at_top_level(input, starts_segment);
  if (parts.size() == 1) parts.push_back(input);  // no segment boundary: the input is a segment
  plexo::fragment_processor::FragmentProcessor fresh, reused;
  auto first = run(reused, parts);
  reused.reset();
  if (reused.base_decode_time().has_value()) __builtin_trap();
  if (run(reused, parts) != first || run(fresh, parts) != first) __builtin_trap();
  return 0;
}
