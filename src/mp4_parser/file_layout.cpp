#include "mp4_parser/file_layout.hpp"

#include <string>

namespace plexo::mp4 {

MdatSpan mdat_span(const BoxView& box) {
  return MdatSpan{box.offset, box.size, box.offset + box.header, box.payload.size()};
}

Result<FileLayout> scan_file(ByteView bytes) {
  FileLayout layout;
  std::size_t position = 0;
  while (bytes.size() - position >= 8) {
    BoxHeader header = PLEXO_TRY(read_box_header(bytes, position));
    std::size_t payload_at = position + header.header;
    if (header.payload_length > bytes.size() - payload_at)
      return fail("Box size " + std::to_string(header.size) + " exceeds available data");
    std::size_t length = static_cast<std::size_t>(header.payload_length);
    BoxView box{bytes.subspan(payload_at, length), header.size, position, header.header,
                header.box_type};
    if (box.box_type == FourCC("mdat")) {
      if (!layout.first_mdat) layout.first_mdat = mdat_span(box);
    } else if (box.box_type == FourCC("ftyp")) {
      layout.ftyp = layout.boxes.size();
    } else if (box.box_type == FourCC("moov")) {
      layout.moov = layout.boxes.size();
    } else if (box.box_type == FourCC("moof")) {
      layout.has_moof = true;
    }
    layout.boxes.push_back(box);
    position = payload_at + length;
  }
  return layout;
}

}  // namespace plexo::mp4
