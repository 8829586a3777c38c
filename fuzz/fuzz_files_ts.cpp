// convert_file against convert_ts_to_mp4: the transport stream is put in a memory file, and
// the file written (demultiplexed window by window, media copied by offset) must hold exactly
// the in-memory result with the same diagnostic lines, or both must fail with one message.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_target.hpp"
#include "mp4_parser/movie_writer.hpp"
#include "mp4_writer/mp4_writer.hpp"
#include "ts_mutator.hpp"

namespace {

int memory_file(const char* name) {
  const int fd = memfd_create(name, 0);
  if (fd < 0) std::abort();
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const plexo::ByteView input = fuzz_input(data, size);
  const int in = memory_file("plexo-fuzz-ts");
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = pwrite(in, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  const int out = memory_file("plexo-fuzz-mp4");

  std::string file_lines, memory_lines;
  auto written = plexo::mp4w::convert_file(in, out, plexo::ts::DiagnosticSink::collect(&file_lines));
  auto planned = plexo::mp4w::plan_ts_to_mp4(input, plexo::ts::DiagnosticSink::collect(&memory_lines));
  auto expected = planned ? plexo::mp4::write_planned(**planned)
                          : plexo::Result<plexo::Buffer>(plexo::fail(planned.error().message));

  if (written.has_value() != expected.has_value() || file_lines != memory_lines) std::abort();
  if (!written) {
    if (written.error().message != expected.error().message) std::abort();
  } else {
    std::vector<std::uint8_t> got(static_cast<std::size_t>(*written));
    if (*written != expected->size() || pread(out, got.data(), got.size(), 0) != static_cast<ssize_t>(got.size()) ||
        (!got.empty() && std::memcmp(got.data(), expected->data(), got.size()) != 0))
      std::abort();
  }
  close(out);
  close(in);
  return 0;
}
