#include "fuzz_target.hpp"
#include "mp4_parser/probe.hpp"
#include "mp4_writer/mp4_writer.hpp"
#include "ts_mutator.hpp"
#include "ts_parser/ts_demux.hpp"

namespace {

bool same_tracks(const plexo::mp4::ProbedFile& a, const plexo::mp4::ProbedFile& b) {
  if (a.duration != b.duration || a.tracks.size() != b.tracks.size()) return false;
  for (std::size_t i = 0; i < a.tracks.size(); ++i) {
    const auto &x = a.tracks[i], &y = b.tracks[i];
    if (x.id != y.id || x.kind != y.kind || x.codec != y.codec || x.timescale != y.timescale ||
        x.duration != y.duration || x.samples != y.samples || x.key_frames != y.key_frames ||
        x.width != y.width || x.height != y.height || x.profile != y.profile ||
        x.sample_rate != y.sample_rate || x.channels != y.channels || x.language != y.language)
      return false;
  }
  return true;
}

}  // namespace

// convert_ts_to_mp4: demultiplex, then write the movie. The stream's probe is that of the
// file written, or fails with the conversion's message. Inputs of odd size keep every audio
// stream, the others the first.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const plexo::ByteView input = fuzz_input(data, size);
  const auto audio = size % 2 ? plexo::ts::AudioStreams::kAll : plexo::ts::AudioStreams::kFirst;
  auto demuxed = plexo::ts::demux_ts(input, plexo::ts::DiagnosticSink::standard_output(),
                                     plexo::ts::VideoUnits::kAll, audio);
  auto written = demuxed ? plexo::mp4w::write_mp4(std::move(demuxed).value())
                         : plexo::Result<plexo::Buffer>(plexo::fail(demuxed.error().message));
  const auto summarised = plexo::mp4w::summarise_ts(input, audio);
  const auto probed = summarised ? plexo::mp4::probe_summarised_movie(summarised->movie.view(), summarised->tracks)
                                 : plexo::Result<plexo::mp4::ProbedFile>(plexo::fail(summarised.error().message));
  if (!written) {
    if (probed || probed.error().message != written.error().message) __builtin_trap();
    return 0;
  }
  const auto file = plexo::mp4::probe_mp4(written->view());
  if (!file || !probed || !same_tracks(*file, *probed)) __builtin_trap();
  return 0;
}
