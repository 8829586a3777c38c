#include "mp4_parser/box_reader.hpp"

namespace plexo::mp4 {

Result<std::uint32_t> ByteCursor::read_u32() {
  if (position_ > data_.size()) return fail(kNotEnoughData, ErrorCategory::kUnexpectedEnd);
  auto value = load_u32(data_, static_cast<std::size_t>(position_));
  if (!value) return fail(kNotEnoughData, ErrorCategory::kUnexpectedEnd);
  position_ += 4;
  return *value;
}

Result<std::uint64_t> ByteCursor::read_u64() {
  if (position_ > data_.size()) return fail(kNotEnoughData, ErrorCategory::kUnexpectedEnd);
  auto value = load_u64(data_, static_cast<std::size_t>(position_));
  if (!value) return fail(kNotEnoughData, ErrorCategory::kUnexpectedEnd);
  position_ += 8;
  return *value;
}

Result<BoxHeader> read_box_header(ByteView bytes, std::size_t at) {
  ByteCursor cursor(bytes, at);
  BoxHeader header;
  std::uint32_t size_field = PLEXO_TRY(cursor.read_u32());
  header.box_type = FourCC::from(bytes.subspan(at + 4, 4));
  if (size_field == 0) {
    header.size = bytes.size() - at;
  } else if (size_field == 1) {
    ByteCursor large(bytes, at + 8);
    header.size = PLEXO_TRY(large.read_u64());
    header.header = 16;
  } else {
    header.size = size_field;
  }
  header.payload_length = header.size >= header.header ? header.size - header.header : 0;
  return header;
}

Result<std::vector<BoxView>> parse_box_views(ByteView bytes) {
  std::vector<BoxView> boxes;
  std::size_t position = 0;
  while (bytes.size() - position >= 8) {
    BoxHeader header = PLEXO_TRY(read_box_header(bytes, position));
    std::size_t payload_at = position + header.header;
    if (header.payload_length > bytes.size() - payload_at) break;
    std::size_t length = static_cast<std::size_t>(header.payload_length);
    boxes.push_back(BoxView{bytes.subspan(payload_at, length), header.size, position,
                            header.header, header.box_type});
    position = payload_at + length;
  }
  return boxes;
}

Result<std::vector<Mp4Box>> parse_boxes(ByteView bytes) {
  auto views = PLEXO_TRY(parse_box_views(bytes));
  std::vector<Mp4Box> boxes;
  boxes.reserve(views.size());
  for (const BoxView& view : views)
    boxes.push_back(Mp4Box{{view.payload.begin(), view.payload.end()}, view.size, view.offset,
                           view.box_type});
  return boxes;
}

void write_box(Buffer& out, FourCC box_type, ByteView payload) {
  std::uint64_t n = payload.size();
  if (n <= 0xFFFFFFF7ull) {
    out.put_u32(static_cast<std::uint32_t>(n + 8));
    out.put_fourcc(box_type);
  } else {
    out.put_u32(1);
    out.put_fourcc(box_type);
    out.put_u64(n + 16);
  }
  out.put(payload);
}

const BoxView* find_child(const std::vector<BoxView>& boxes, FourCC type) {
  for (const BoxView& box : boxes)
    if (box.box_type == type) return &box;
  return nullptr;
}

}  // namespace plexo::mp4
