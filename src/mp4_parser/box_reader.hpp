// ISO BMFF boxes held in memory: a big-endian cursor, the lenient child-list parser and the
// box writer shared by every operation that reads or rewrites MP4 data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/buffer.hpp"
#include "core/bytes.hpp"
#include "core/error.hpp"

namespace plexo::mp4 {

inline constexpr const char* kNotEnoughData = "Not enough data";

// A read-only cursor over a view; a read that does not fit fails and leaves the position.
class ByteCursor {
 public:
  explicit ByteCursor(ByteView data, std::uint64_t position = 0) : data_(data), position_(position) {}

  std::uint64_t position() const { return position_; }
  std::uint64_t remaining() const {
    return position_ >= data_.size() ? 0 : data_.size() - position_;
  }
  Result<std::uint32_t> read_u32();
  Result<std::uint64_t> read_u64();

 private:
  ByteView data_;
  std::uint64_t position_;
};

// One parsed box owning a copy of its payload (the bytes after its 8- or 16-byte header).
struct Mp4Box {
  std::vector<std::uint8_t> payload;
  std::uint64_t size = 0;    // as declared (or to the end of the parsed bytes for size 0)
  std::uint64_t offset = 0;  // of the box's first byte within the parsed bytes
  FourCC box_type;
};

// The same box seen in place: its payload is a view into the parsed bytes, which must outlive
// it. Walking a tree through views copies nothing.
struct BoxView {
  ByteView payload;
  std::uint64_t size = 0;
  std::uint64_t offset = 0;
  std::uint32_t header = 8;
  FourCC box_type;
};

// Where the next box header lies and how long its payload is; the shared header rules of the
// lenient and the strict scan.
struct BoxHeader {
  std::uint64_t size = 0;
  std::uint32_t header = 8;
  std::uint64_t payload_length = 0;
  FourCC box_type;
};
// Reads a box header at `at` (at least 8 bytes must remain). Size 0 runs to the end of
// `bytes`; size 1 takes a 64-bit size ("Not enough data" when cut off); a size smaller than
// its header gives an empty payload.
Result<BoxHeader> read_box_header(ByteView bytes, std::size_t at);

// The boxes of one level. A box whose payload runs past the end ends the list (no error);
// fewer than 8 trailing bytes are ignored.
Result<std::vector<BoxView>> parse_box_views(ByteView bytes);
Result<std::vector<Mp4Box>> parse_boxes(ByteView bytes);

// Appends a box: a 32-bit size up to 0xFFFFFFF7 payload bytes, a 64-bit size above.
void write_box(Buffer& out, FourCC box_type, ByteView payload);
// The length write_box gives a payload of `payload_length` bytes.
constexpr std::uint64_t box_length(std::uint64_t payload_length) {
  return payload_length <= 0xFFFFFFF7ull ? payload_length + 8 : payload_length + 16;
}

// The first child of a type, or nullptr.
const BoxView* find_child(const std::vector<BoxView>& boxes, FourCC type);

// Version byte of a full box: 1 means version 1, anything else version 0.
inline bool is_version1(ByteView payload) { return !payload.empty() && payload[0] == 1; }

}  // namespace plexo::mp4
