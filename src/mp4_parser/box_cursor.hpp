// The one way every MP4 operation walks boxes: a cursor over one level of boxes (a whole file
// or one box's payload) whose size rules are options, so that the lenient child walk, the
// strict top-level scan, the live rebaser's walk and the thumbnail's walks are one code path.
//
//   BoxCursor boxes(file, kTopLevelBoxes);
//   while (auto box = PLEXO_TRY(boxes.next())) {
//     if (box->type == FourCC("moov")) { BoxCursor children(box->payload, kChildBoxes,
//                                                            box->payload_offset()); ... }
//   }
//
// A child never leaves its parent: a cursor only ever sees the bytes it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "core/bytes.hpp"
#include "core/error.hpp"
#include "core/messages.hpp"

namespace plexo::mp4 {


// How a walk reads box sizes. Every walk takes 32-bit sizes; the rest is per walk.
struct BoxRules {
  // Size field 1: a 64-bit size follows the type ("Not enough data" when it is cut off).
  // When false, size 1 counts as a size below the header (see `undersized`).
  bool large_sizes = true;
  // Size field 0: the box runs to the end of the bytes being walked. When false, size 0
  // counts as a size below the header.
  bool to_end_sizes = true;

  // A declared size below the header length (2 to 7, a large size below 16, or 0 and 1
  // where those forms are refused).
  enum class Undersized : std::uint8_t {
    kEmptyPayload,  // the box has an empty payload and takes its header's bytes
    kFail,          // the walk fails with "Invalid box size"
    kStop,          // the walk ends quietly before the box
  } undersized = Undersized::kEmptyPayload;

  // A box whose declared size runs past the end of the bytes being walked.
  enum class Overrun : std::uint8_t {
    kStop,  // the walk ends quietly before the box
    kFail,  // the walk fails with "Box size {} exceeds available data"
    kClip,  // the box is returned with the bytes there are, and the walk ends after it
  } overrun = Overrun::kStop;
};

// Children of a box: every legal size form, a box running past its parent ends the list.
inline constexpr BoxRules kChildBoxes{};
// A whole file's top level: as kChildBoxes, but a box running past the end is an error.
inline constexpr BoxRules kTopLevelBoxes{true, true, BoxRules::Undersized::kEmptyPayload,
                                         BoxRules::Overrun::kFail};
// Live segments: 32-bit sizes of at least 8 only ("Invalid box size"); a box cut short by
// the end of its container ends the walk quietly.
inline constexpr BoxRules kSegmentBoxes{false, false, BoxRules::Undersized::kFail,
                                        BoxRules::Overrun::kStop};
// Locating data in a possibly cut-short file: every legal form; a malformed size ends the
// walk; a box cut short keeps the bytes the file holds.
inline constexpr BoxRules kLocatorBoxes{true, true, BoxRules::Undersized::kStop,
                                        BoxRules::Overrun::kClip};
// The plain walk of a file without tables: 32-bit sizes of at least 8 ("Invalid box size"),
// a box cut short keeps the bytes there are.
inline constexpr BoxRules kPlainBoxes{false, false, BoxRules::Undersized::kFail,
                                      BoxRules::Overrun::kClip};

// One box as a walk found it. `payload` views the walked bytes (which must outlive it).
struct Box {
  FourCC type;
  std::uint64_t offset = 0;        // of the box's first byte, counted from the walk's origin
  std::uint64_t size = 0;          // as declared (size 0: to the end of the walked bytes)
  std::uint32_t header_length = 8; // 8, or 16 after a 64-bit size
  ByteView payload;                // the bytes after the header that the walked bytes hold
  bool clipped = false;            // Overrun::kClip cut the payload short

  std::uint64_t payload_offset() const { return offset + header_length; }
  std::uint64_t end() const { return payload_offset() + payload.size(); }
};

// Walks the boxes of one level, front to back.
class BoxCursor {
 public:
  // `bytes` holds the boxes; `origin` is the position of its first byte in the file, so that
  // every Box::offset is a file position (0 for a whole file).
  explicit BoxCursor(ByteView bytes, BoxRules rules = kChildBoxes, std::uint64_t origin = 0)
      : bytes_(bytes), rules_(rules), origin_(origin) {}

  // The children of `parent` (after `skip` bytes of its payload: a sample entry's fields,
  // a full box's version and flags).
  static BoxCursor children(const Box& parent, BoxRules rules = kChildBoxes, std::size_t skip = 0);

  // The next box, or nothing when the walk has ended: fewer than 8 bytes left, or a box the
  // rules stop at. Errors as the rules say.
  Result<std::optional<Box>> next();

  // Where the next header would be read, relative to `bytes`.
  std::size_t position() const { return position_; }

 private:
  ByteView bytes_;
  BoxRules rules_;
  std::uint64_t origin_;
  std::size_t position_ = 0;
  bool ended_ = false;
};

// Every box of one level.
Result<std::vector<Box>> list_boxes(ByteView bytes, BoxRules rules = kChildBoxes,
                                    std::uint64_t origin = 0);
// The first box of `type` in a list, or nullptr.
const Box* find_box(const std::vector<Box>& boxes, FourCC type);
// The first box of `type` on one level; nothing when the walk ends without one.
Result<std::optional<Box>> find_box(ByteView bytes, FourCC type, BoxRules rules = kChildBoxes,
                                    std::uint64_t origin = 0);
// The first child of `type` of `parent` (after `skip` bytes of its payload).
Result<std::optional<Box>> find_child(const Box& parent, FourCC type, BoxRules rules = kChildBoxes,
                                      std::size_t skip = 0);

// How many levels of boxes `payload` holds, at most `limit`: 0 unless it is wholly a
// sequence of boxes (32- or 64-bit sizes, nothing left over), else 1 more than its deepest
// child's. Bounded by `limit`, so a box nested thousands deep costs `limit` levels.
std::size_t nesting_depth(ByteView payload, std::size_t limit);

// The header a box of `payload_length` bytes takes: 8, or 16 when its size needs 64 bits.
constexpr std::uint64_t box_header_length(std::uint64_t payload_length) {
  return payload_length <= 0xFFFFFFF7ull ? 8 : 16;
}
constexpr std::uint64_t box_length(std::uint64_t payload_length) {
  return payload_length + box_header_length(payload_length);
}
// Writes a box header for a payload of `payload_length` bytes (a 64-bit size above
// 0xFFFFFFF7); never a size of 0. `Sink` is a Buffer or a SpanWriter.
template <class Sink>
void put_box_header(Sink& out, FourCC type, std::uint64_t payload_length) {
  if (box_header_length(payload_length) == 8) {
    out.put_u32(static_cast<std::uint32_t>(payload_length + 8));
    out.put_fourcc(type);
  } else {
    out.put_u32(1);
    out.put_fourcc(type);
    out.put_u64(payload_length + 16);
  }
}
template <class Sink>
void put_box(Sink& out, FourCC type, ByteView payload) {
  put_box_header(out, type, payload.size());
  out.put(payload);
}

// Whether `file` opens with something a box header could be: a printable type, and a size
// that is one of the special forms or fits the file.
bool opens_with_box(ByteView file);

// The four characters of a type for a message ("unknown" when they are not UTF-8).
std::string type_name(FourCC type);

}  // namespace plexo::mp4
