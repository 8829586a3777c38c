// convert_ts_to_fmp4 over the whole stream, its fragment duration chosen by the input's first
// byte (0.1 s, 0.5 s, 2 s): it fails exactly when convert_ts_to_mp4 fails, with the same
// message, and otherwise gives a fragmented file that reads back (defragmented and probed)
// with the progressive file's tracks and sample counts.
#include "fuzz_target.hpp"
#include "mp4_parser/movie_writer.hpp"
#include "mp4_parser/operations.hpp"
#include "mp4_parser/probe.hpp"
#include "mp4_writer/mp4_writer.hpp"
#include "ts_mutator.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plexo::ByteView input = fuzz_input(data, size);
  if (input.empty()) return 0;
  static constexpr double kDurations[] = {0.1, 0.5, 2.0};
  const double duration = kDurations[input[0] % 3];
  input = input.subspan(1);

  const auto discard = plexo::ts::DiagnosticSink::discard();
  auto fragmented_plan = plexo::mp4w::plan_ts_to_fmp4(input, duration, discard);
  auto progressive_plan = plexo::mp4w::plan_ts_to_mp4(input, discard);
  if (fragmented_plan.has_value() != progressive_plan.has_value()) __builtin_trap();
  if (!fragmented_plan) {
    if (fragmented_plan.error().message != progressive_plan.error().message) __builtin_trap();
    return 0;
  }
  auto fragmented = plexo::mp4::write_planned(**fragmented_plan);
  auto progressive = plexo::mp4::write_planned(**progressive_plan);
  if (!fragmented || !progressive) __builtin_trap();
  auto flattened = plexo::mp4::defragment(fragmented->view());
  if (!flattened) __builtin_trap();
  auto ours = plexo::mp4::probe_mp4(flattened->view());
  auto theirs = plexo::mp4::probe_mp4(progressive->view());
  if (!ours || !theirs || ours->tracks.size() != theirs->tracks.size()) __builtin_trap();
  for (std::size_t i = 0; i < ours->tracks.size(); ++i) {
    const auto &a = ours->tracks[i], &b = theirs->tracks[i];
    if (a.kind != b.kind || a.codec != b.codec || a.timescale != b.timescale || a.samples != b.samples)
      __builtin_trap();
  }
  return 0;
}
