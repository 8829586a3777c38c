#include "box_mutator.hpp"
#include "fuzz_target.hpp"
#include "mp4_parser/operations.hpp"

// Joined twice: colliding track IDs refused, then renumbered.
// Two files in one input, as two fMP4 files laid end to end: the audio file begins at the
// second top-level `ftyp`. Without one, the input is cut at the top-level box nearest its
// middle (or, with a single box, the audio file is empty).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plexo::ByteView input = fuzz_input(data, size);
  auto parts = cut_at_top_level(input, [](const char* type, const char*) { return is_type(type, "ftyp"); });
  plexo::ByteView video = parts[0];
  plexo::ByteView audio = input.subspan(video.size());
  if (parts.size() == 1) {
    std::size_t middle = input.size() / 2, cut = input.size();
    auto distance = [middle](std::size_t at) { return at > middle ? at - middle : middle - at; };
    for (std::size_t start : fuzz::top_level_starts(input.data(), input.size()))
      if (start != 0 && (cut == input.size() || distance(start) < distance(cut))) cut = start;
    video = input.first(cut);
    audio = input.subspan(cut);
  }
  (void)plexo::mp4::mux_tracks(video, audio);
  (void)plexo::mp4::mux_tracks(video, audio, plexo::mp4::CollidingTrackIds::kRenumbered);
  return 0;
}
