// The box tree of a fuzz input, as the harness sees it: where each box starts, how long its
// header is, where it ends and which box holds it. Only the harness reads this; it never
// judges an input, it only decides where to cut and what to mutate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace fuzz {

struct BoxNode {
  std::size_t start;    // first byte of the size field
  std::size_t header;   // 8, or 16 with a 64-bit size
  std::size_t end;      // one past the last byte
  std::size_t payload;  // first byte of the children or the body
  int parent;           // index into the node list, -1 at top level
  bool container;
  char type[4];
};

inline std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
inline std::uint64_t be64(const std::uint8_t* p) {
  return (std::uint64_t{be32(p)} << 32) | be32(p + 4);
}
inline void put32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
inline void put64(std::uint8_t* p, std::uint64_t v) {
  put32(p, static_cast<std::uint32_t>(v >> 32));
  put32(p + 4, static_cast<std::uint32_t>(v));
}

// Bytes between a container's header and its first child.
inline int child_skip(const char* type) {
  static const struct { char type[5]; int skip; } kContainers[] = {
      {"moov", 0}, {"trak", 0}, {"mdia", 0}, {"minf", 0}, {"stbl", 0}, {"mvex", 0},
      {"moof", 0}, {"traf", 0}, {"edts", 0}, {"dinf", 0}, {"udta", 0}, {"mfra", 0},
      {"sinf", 0}, {"schi", 0}, {"stsd", 8}, {"avc1", 78}, {"avc3", 78}, {"mp4a", 28},
  };
  for (const auto& c : kContainers)
    if (std::memcmp(c.type, type, 4) == 0) return c.skip;
  return -1;
}

// Reads the boxes of data[begin, end) and, below known containers, their children, down to
// a fixed depth. A box whose size does not fit ends the walk of its level.
inline void walk_boxes(const std::uint8_t* data, std::size_t begin, std::size_t end, int parent,
                       int depth, int max_depth, std::vector<BoxNode>& out) {
  std::size_t at = begin;
  while (end - at >= 8 && out.size() < 4096) {
    std::uint64_t size = be32(data + at);
    std::size_t header = 8;
    if (size == 1) {
      if (end - at < 16) return;
      size = be64(data + at + 8);
      header = 16;
    } else if (size == 0) {
      size = end - at;
    }
    if (size < header || size > end - at) return;
    BoxNode node{at, header, at + static_cast<std::size_t>(size), at + header, parent, false, {}};
    std::memcpy(node.type, data + at + 4, 4);
    int skip = child_skip(node.type);
    out.push_back(node);
    int index = static_cast<int>(out.size()) - 1;
    if (skip >= 0 && depth < max_depth && node.end - node.payload >= static_cast<std::size_t>(skip)) {
      out[index].container = true;
      out[index].payload += static_cast<std::size_t>(skip);
      walk_boxes(data, out[index].payload, node.end, index, depth + 1, max_depth, out);
    }
    at = node.end;
  }
}

inline std::vector<BoxNode> box_tree(const std::uint8_t* data, std::size_t size) {
  std::vector<BoxNode> nodes;
  walk_boxes(data, 0, size, -1, 0, 12, nodes);
  return nodes;
}

// Offsets at which the top-level boxes start (up to 4096 of them); bytes after the last whole
// box (an unreadable size) belong to the last part.
inline std::vector<std::size_t> top_level_starts(const std::uint8_t* data, std::size_t size) {
  std::vector<BoxNode> nodes;
  walk_boxes(data, 0, size, -1, 0, 0, nodes);
  std::vector<std::size_t> starts;
  for (const BoxNode& node : nodes) starts.push_back(node.start);
  return starts;
}

}  // namespace fuzz
