// Shared set-up of the fuzz targets: the demultiplexer's diagnostic lines go to /dev/null.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "core/bytes.hpp"

inline plexo::ByteView fuzz_input(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDOUT_FILENO);
    return true;
  }();
  (void)quiet;
  return {data, size};
}
