// The strict scan of a whole file's top-level boxes.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "mp4_parser/box_reader.hpp"

namespace plexo::mp4 {

// A top-level media data box, located by position in the input; its payload is never copied.
struct MdatSpan {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint64_t payload_offset = 0;
  std::uint64_t payload_length = 0;
};

// Every top-level box of a file in order, each a view into the input (which must outlive the
// layout); an mdat's payload view is not read by the scan.
struct FileLayout {
  std::optional<MdatSpan> first_mdat;
  std::vector<BoxView> boxes;
  std::optional<std::size_t> ftyp;  // index into boxes of the last "ftyp"
  std::optional<std::size_t> moov;  // index into boxes of the last "moov"
  bool has_moof = false;

  const BoxView* moov_box() const { return moov ? &boxes[*moov] : nullptr; }
  const BoxView* ftyp_box() const { return ftyp ? &boxes[*ftyp] : nullptr; }
};

MdatSpan mdat_span(const BoxView& box);

// Top-level boxes of the input; a box that runs past the end of the input is refused with
// "Box size {} exceeds available data".
Result<FileLayout> scan_file(ByteView bytes);

}  // namespace plexo::mp4
