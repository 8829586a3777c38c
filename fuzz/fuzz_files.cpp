// The file-to-file operations against the in-memory ones: the input is put in a memory
// file, and each operation's output file must hold exactly the in-memory result, or both
// must fail with one message; the probe of the file read by seeking must answer as the probe
// of its bytes.
#include <sys/mman.h>
#include <unistd.h>

#include "file_compare.hpp"
#include "fuzz_target.hpp"
#include "mp4_parser/file_input.hpp"
#include "mp4_parser/operations.hpp"

namespace {

// The probe of the file read by seeking against the probe of its bytes: the same answer, or
// the same message.
void compare_probe(int in, plexo::ByteView input) {
  auto from_file = plexo::mp4::probe_mp4_file(in);
  auto in_memory = plexo::mp4::probe_mp4(input);
  if (from_file.has_value() != in_memory.has_value()) std::abort();
  if (from_file ? !(*from_file == *in_memory)
                : from_file.error().message != in_memory.error().message)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const plexo::ByteView input = fuzz_input(data, size);
  const int in = memory_file(data, size);
  compare(in, input, plexo::mp4::defragment_file, [](plexo::ByteView bytes) { return plexo::mp4::defragment(bytes); });
  compare(in, input, plexo::mp4::reset_file, [](plexo::ByteView bytes) { return plexo::mp4::reset_timeline(bytes); });
  compare_probe(in, input);
  close(in);
  return 0;
}
