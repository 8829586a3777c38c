// An MP4-aware mutator for the targets that read ISO BMFF: most mutations change one box (its
// body, or the box as a whole: dropped, repeated, copied into another container, retyped)
// and then correct the size of every box that holds it, so that mutated inputs still parse
// past the top level and reach the sample tables and fragment runs. A few mutations break a
// size on purpose, and some are left to libFuzzer's own byte mutations.
// Include from exactly one translation unit of a target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "box_tree.hpp"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

namespace fuzz {

// Adds delta to the size of node `index` and of every box that holds it. A size of 0 (to
// the end) stays 0; a 32-bit size that would overflow is left as it is.
inline void grow_boxes(std::uint8_t* data, const std::vector<BoxNode>& nodes, int index,
                       std::int64_t delta) {
  for (int at = index; at >= 0; at = nodes[at].parent) {
    const BoxNode& node = nodes[at];
    std::uint64_t size = static_cast<std::uint64_t>(static_cast<std::int64_t>(node.end - node.start) + delta);
    if (node.header == 16) {
      put64(data + node.start + 8, size);
    } else if (be32(data + node.start) != 0 && size <= 0xFFFFFFFFu) {
      put32(data + node.start, static_cast<std::uint32_t>(size));
    }
  }
}

// Replaces data[begin, end) with `with`; the caller makes sure the result fits max_size.
inline std::size_t splice(std::uint8_t* data, std::size_t size, std::size_t begin, std::size_t end,
                          const std::uint8_t* with, std::size_t with_size) {
  std::memmove(data + begin + with_size, data + end, size - end);
  if (with_size) std::memcpy(data + begin, with, with_size);
  return size - (end - begin) + with_size;
}

inline std::size_t mutate_boxes(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                unsigned seed) {
  std::minstd_rand random(seed);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  std::vector<BoxNode> nodes = box_tree(data, size);
  unsigned roll = static_cast<unsigned>(pick(100));
  if (nodes.empty() || roll < 30) return LLVMFuzzerMutate(data, size, max_size);

  int index = static_cast<int>(pick(nodes.size()));
  const BoxNode node = nodes[index];
  std::size_t length = node.end - node.start;
  std::size_t room = max_size > size ? max_size - size : 0;

  if (roll < 70) {  // the box's own bytes: a leaf's body, a container's fixed fields
    std::size_t begin = node.start + node.header;
    std::size_t end = node.container ? node.payload : node.end;
    if (end <= begin) return LLVMFuzzerMutate(data, size, max_size);
    std::vector<std::uint8_t> body(data + begin, data + end);
    std::size_t old_length = body.size();
    body.resize(old_length + room);
    std::size_t new_length = LLVMFuzzerMutate(body.data(), old_length, body.size());
    grow_boxes(data, nodes, index, static_cast<std::int64_t>(new_length) - static_cast<std::int64_t>(old_length));
    return splice(data, size, begin, end, body.data(), new_length);
  }
  if (roll < 78) {  // drop the box
    grow_boxes(data, nodes, node.parent, -static_cast<std::int64_t>(length));
    return splice(data, size, node.start, node.end, nullptr, 0);
  }
  if (roll < 86) {  // repeat it
    if (length > room) return LLVMFuzzerMutate(data, size, max_size);
    std::vector<std::uint8_t> copy(data + node.start, data + node.end);
    grow_boxes(data, nodes, node.parent, static_cast<std::int64_t>(length));
    return splice(data, size, node.end, node.end, copy.data(), copy.size());
  }
  if (roll < 92) {  // copy it to the front of a container (or of the file)
    if (length > room) return LLVMFuzzerMutate(data, size, max_size);
    std::vector<int> containers;
    for (std::size_t i = 0; i < nodes.size(); ++i)
      if (nodes[i].container) containers.push_back(static_cast<int>(i));
    int into = containers.empty() || pick(4) == 0 ? -1 : containers[pick(containers.size())];
    std::size_t at = into < 0 ? 0 : nodes[into].payload;
    std::vector<std::uint8_t> copy(data + node.start, data + node.end);
    grow_boxes(data, nodes, into, static_cast<std::int64_t>(length));
    return splice(data, size, at, at, copy.data(), copy.size());
  }
  if (roll < 96) {  // give it another type
    static const char kTypes[][5] = {"moov", "trak", "mdia", "minf", "stbl", "mvex", "moof",
                                     "traf", "tfhd", "tfdt", "trun", "trex", "mdat", "free",
                                     "stsz", "stco", "co64", "stts", "ctts", "stss", "stsc",
                                     "avcC", "edts", "elst", "mdhd", "tkhd", "hdlr", "styp"};
    std::memcpy(data + node.start + 4, kTypes[pick(sizeof kTypes / sizeof kTypes[0])], 4);
    return size;
  }
  // break its size
  static const std::uint32_t kSizes[] = {0, 1, 2, 7, 8, 0x7FFFFFFF, 0xFFFFFFFF};
  std::uint32_t bad = pick(3) == 0 ? static_cast<std::uint32_t>(length + pick(17) - 8)
                                   : kSizes[pick(sizeof kSizes / sizeof kSizes[0])];
  put32(data + node.start, bad);
  return size;
}

}  // namespace fuzz

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t max_size, unsigned int seed) {
  return fuzz::mutate_boxes(data, size, max_size, seed);
}
