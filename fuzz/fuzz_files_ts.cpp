// convert_file against convert_ts_to_mp4: the transport stream is put in a memory file, and
// the file written (demultiplexed window by window, media copied by offset) must hold exactly
// the in-memory result with the same diagnostic lines, or both must fail with one message.
#include <unistd.h>

#include <string>

#include "file_compare.hpp"
#include "fuzz_target.hpp"
#include "mp4_parser/movie_writer.hpp"
#include "mp4_writer/mp4_writer.hpp"
#include "ts_mutator.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const plexo::ByteView input = fuzz_input(data, size);
  const int in = memory_file(data, size);
  std::string file_lines, memory_lines;
  compare(
      in, input,
      [&](int src, int out) {
        return plexo::mp4w::convert_file(src, out, plexo::ts::DiagnosticSink::collect(&file_lines));
      },
      [&](plexo::ByteView bytes) {
        auto planned = plexo::mp4w::plan_ts_to_mp4(bytes, plexo::ts::DiagnosticSink::collect(&memory_lines));
        return planned ? plexo::mp4::write_planned(**planned)
                       : plexo::Result<plexo::Buffer>(plexo::fail(planned.error().message));
      });
  if (file_lines != memory_lines) std::abort();
  close(in);
  return 0;
}
