// The file-to-file operations against the in-memory ones: the input is put in a memory
// file, and each operation's output file must hold exactly the in-memory result, or both
// must fail with one message; the probe of the file read by seeking must answer as the probe
// of its bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "fuzz_target.hpp"
#include "mp4_parser/file_input.hpp"
#include "mp4_parser/operations.hpp"

namespace {

int memory_file(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd_create("plexo-fuzz", 0);
  if (fd < 0) std::abort();
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  return fd;
}

template <class FileOperation, class MemoryOperation>
void compare(int in, plexo::ByteView input, FileOperation file_operation, MemoryOperation memory_operation) {
  const int out = memfd_create("plexo-fuzz-out", 0);
  if (out < 0) std::abort();
  auto written = file_operation(in, out);
  auto expected = memory_operation(input);
  if (written.has_value() != expected.has_value()) std::abort();
  if (!written) {
    if (written.error().message != expected.error().message) std::abort();
  } else {
    std::vector<std::uint8_t> got(static_cast<std::size_t>(*written));
    if (*written != expected->size() || pread(out, got.data(), got.size(), 0) != static_cast<ssize_t>(got.size()) ||
        (!got.empty() && std::memcmp(got.data(), expected->data(), got.size()) != 0))
      std::abort();
  }
  close(out);
}

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
