#include <vector>

#include "fuzz_target.hpp"
#include "mp4_writer/mp4_writer.hpp"
#include "mp4_writer/ts_segmenter.hpp"
#include "ts_mutator.hpp"

// TsSegmenter: the stream pushed in pieces whose sizes the input's first byte chooses (1 to
// 256 bytes, or about a quarter of what is left, with an empty piece now and then), then the
// end of the stream; the fragment duration is 0.1 s, 0.5 s or 2 s.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plexo::ByteView input = fuzz_input(data, size);
  if (input.empty()) return 0;
  const std::uint8_t choice = input[0];
  input = input.subspan(1);
  static constexpr double kDurations[] = {0.1, 0.5, 2.0};
  plexo::mp4w::TsSegmenter segmenter(kDurations[choice % 3]);
  std::vector<plexo::Buffer> fragments;
  const std::size_t piece = choice >= 128 ? input.size() / 4 + 1 : std::size_t{choice} + 1;
  for (std::size_t at = 0, n = 0; at < input.size(); ++n) {
    const std::size_t take = n % 7 == 3 ? 0 : std::min(piece, input.size() - at);
    if (!segmenter.push(input.subspan(at, take), fragments)) return 0;
    at += take;
    fragments.clear();  // a live client sends each fragment on and forgets it
  }
  (void)segmenter.finish(fragments);
  return 0;
}
