// The file-to-file targets' checks: an input put in a memory file, and the output file of a
// file operation held against the in-memory result.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/bytes.hpp"

inline int memory_file(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd_create("plexo-fuzz", 0);
  if (fd < 0) std::abort();
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  return fd;
}

// The operation's output file holds exactly the in-memory result, or both fail with one
// message.
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

