#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_target.hpp"
#include "mp4_parser/movie_writer.hpp"
#include "mp4_writer/mp4_writer.hpp"
#include "mp4_writer/ts_segmenter.hpp"
#include "ts_mutator.hpp"

// TsSegmenter: the stream pushed whole, in 188-byte pieces and in pieces whose sizes the
// input's second byte seeds (1 byte to about a quarter of the stream, empty ones among them),
// then ended; the first byte chooses the fragment duration (0.1 s, 0.5 s or 2 s). The
// fragments must not depend on the pieces: every chunking gives the same init segment and
// fragments, or fails with the same message. Where the segmenter says its conditions held
// (as_whole_stream), they are convert_ts_to_fmp4's file.
namespace {

struct Outcome {
  bool ok = true;
  std::string error;
  std::vector<std::uint8_t> bytes;  // init, then every fragment
  bool as_whole_stream = false;
  bool gapped = false;
};

template <class NextPiece>
Outcome segment(plexo::ByteView input, double duration, NextPiece next_piece) {
  plexo::mp4w::TsSegmenter segmenter(duration);
  std::vector<plexo::Buffer> fragments;
  Outcome out;
  auto fail = [&](const plexo::Status& status) {
    out.ok = false;
    out.error = status.error().message;
    return out;
  };
  for (std::size_t at = 0; at < input.size();) {
    const std::size_t take = std::min(next_piece(input.size() - at), input.size() - at);
    if (auto pushed = segmenter.push(input.subspan(at, take), fragments); !pushed) return fail(pushed);
    at += take;
  }
  if (auto finished = segmenter.finish(fragments); !finished) return fail(finished);
  if (segmenter.init()) out.bytes.assign(segmenter.init()->view().begin(), segmenter.init()->view().end());
  for (const plexo::Buffer& f : fragments) out.bytes.insert(out.bytes.end(), f.view().begin(), f.view().end());
  out.as_whole_stream = segmenter.as_whole_stream();
  out.gapped = segmenter.audio_gaps_seen();
  return out;
}

void require_same(const Outcome& a, const Outcome& b) {
  if (a.ok != b.ok || a.error != b.error || a.bytes != b.bytes) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  plexo::ByteView input = fuzz_input(data, size);
  if (input.size() < 2) return 0;
  const std::uint8_t choice = input[0];
  std::uint32_t state = input[1] * 2654435761u + 1;
  input = input.subspan(2);
  static constexpr double kDurations[] = {0.1, 0.5, 2.0};
  const double duration = kDurations[choice % 3];

  const Outcome whole = segment(input, duration, [](std::size_t left) { return left; });
  // A stream whose audio shows gaps is converted soundly in any chunking, but not always into
  // the same bytes (see TsSegmenter::audio_gaps_seen): only the others are compared.
  const Outcome by_packet = segment(input, duration, [](std::size_t) { return std::size_t{188}; });
  if (!whole.gapped && !by_packet.gapped) require_same(whole, by_packet);
  const std::size_t quarter = input.size() / 4 + 1;
  const Outcome random = segment(input, duration, [&](std::size_t) {
    state = state * 1103515245u + 12345u;
    const std::uint32_t r = state >> 8;
    return r % 7 == 3 ? 0 : r % 4 == 0 ? r % quarter : 1 + r % 256;
  });
  if (!whole.gapped && !random.gapped) require_same(whole, random);

  if (!whole.ok || !whole.as_whole_stream) return 0;
  auto planned = plexo::mp4w::plan_ts_to_fmp4(input, duration, plexo::ts::DiagnosticSink::discard());
  if (!planned) std::abort();  // the segmenter wrote a file where the whole stream gives none
  auto file = plexo::mp4::write_planned(**planned);
  if (!file || file->size() != whole.bytes.size() ||
      !std::equal(whole.bytes.begin(), whole.bytes.end(), file->view().begin()))
    std::abort();  // the segmenter wrote another file
  return 0;
}
