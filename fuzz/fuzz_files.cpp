// The file-to-file operations against the in-memory ones: the input is put in a memory
// file, and each operation's output file must hold exactly the in-memory result, or both
// must fail with one message.
#include <unistd.h>

#include "file_compare.hpp"
#include "fuzz_target.hpp"
#include "mp4_parser/file_input.hpp"
#include "mp4_parser/operations.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const plexo::ByteView input = fuzz_input(data, size);
  const int in = memory_file(data, size);
  compare(in, input, plexo::mp4::defragment_file, [](plexo::ByteView bytes) { return plexo::mp4::defragment(bytes); });
  compare(in, input, plexo::mp4::reset_file, [](plexo::ByteView bytes) { return plexo::mp4::reset_timeline(bytes); });
  close(in);
  return 0;
}
