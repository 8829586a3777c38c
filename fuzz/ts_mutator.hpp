// A transport-stream-aware mutator for the targets that read MPEG-TS: half of the mutations
// change, repeat, drop or swap whole packets so that the 188-byte (or 192-byte) framing and
// the sync bytes survive and mutations reach PES, ADTS and NAL parsing; the rest are left to
// libFuzzer's own byte mutations. Include from exactly one translation unit of a target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t max_size, unsigned int seed) {
  std::minstd_rand random(seed);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  std::size_t stride = 188, lead = 0;
  if (size >= 2 * 192 + 4 && data[4] == 0x47 && data[196] == 0x47) stride = 192, lead = 4;
  std::size_t packets = size / stride;
  if (packets < 2 || pick(2) == 0) return LLVMFuzzerMutate(data, size, max_size);

  std::size_t at = pick(packets) * stride;
  switch (pick(4)) {
    case 0: {  // the packet's bytes after its sync byte, framing kept
      std::uint8_t* body = data + at + lead + 1;
      std::size_t length = stride - lead - 1;
      std::size_t used = LLVMFuzzerMutate(body, length, length);
      std::memset(body + used, 0xFF, length - used);
      return size;
    }
    case 1: {  // repeat it
      if (size + stride > max_size) return size;
      std::memmove(data + at + stride, data + at, size - at);
      return size + stride;
    }
    case 2:  // drop it
      std::memmove(data + at, data + at + stride, size - at - stride);
      return size - stride;
    default: {  // swap it with another
      std::size_t other = pick(packets) * stride;
      std::vector<std::uint8_t> keep(data + at, data + at + stride);
      std::memcpy(data + at, data + other, stride);
      std::memcpy(data + other, keep.data(), stride);
      return size;
    }
  }
}
