#include "fuzz_target.hpp"
#include "mp4_writer/mp4_writer.hpp"
#include "ts_mutator.hpp"
#include "ts_parser/ts_demux.hpp"

// convert_ts_to_mp4: demultiplex, then write the movie.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto demuxed = plexo::ts::demux_ts(fuzz_input(data, size));
  if (demuxed) (void)plexo::mp4w::write_mp4(std::move(demuxed).value());
  return 0;
}
