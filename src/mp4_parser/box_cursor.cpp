#include "mp4_parser/box_cursor.hpp"

#include <algorithm>
#include <array>

#include "core/messages.hpp"

namespace plexo::mp4 {

BoxCursor BoxCursor::children(const Box& parent, BoxRules rules, std::size_t skip) {
  ByteView payload = skip <= parent.payload.size() ? parent.payload.subspan(skip) : ByteView{};
  return BoxCursor(payload, rules, parent.payload_offset() + skip);
}

Result<std::optional<Box>> BoxCursor::next() {
  using Undersized = BoxRules::Undersized;
  using Overrun = BoxRules::Overrun;
  const std::size_t n = bytes_.size();
  if (ended_ || n - position_ < 8) return std::optional<Box>{};
  const std::size_t start = position_;
  const std::uint32_t size_field = *load_u32(bytes_, start);

  Box box;
  box.type = FourCC::from(bytes_.subspan(start + 4, 4));
  box.offset = origin_ + start;
  bool undersized = false;
  if (size_field == 1 && rules_.large_sizes) {
    auto large = load_u64(bytes_, start + 8);
    if (!large) {
      ended_ = true;
      if (rules_.undersized == Undersized::kStop) return std::optional<Box>{};
      return fail(msg::kNotEnoughData, ErrorCategory::kUnexpectedEnd);
    }
    box.size = *large;
    box.header_length = 16;
    undersized = box.size < 16;
  } else if (size_field == 0 && rules_.to_end_sizes) {
    box.size = n - start;
  } else {
    box.size = size_field;
    undersized = size_field < 8;
  }

  if (undersized) {
    switch (rules_.undersized) {
      case Undersized::kFail:
        ended_ = true;
        return fail(msg::kInvalidBoxSize);
      case Undersized::kStop:
        ended_ = true;
        return std::optional<Box>{};
      case Undersized::kEmptyPayload:
        position_ = start + box.header_length;
        box.payload = bytes_.subspan(position_, 0);
        return std::optional<Box>{box};
    }
  }

  const std::size_t payload_at = start + box.header_length;
  const std::uint64_t payload_length = box.size - box.header_length;
  if (payload_length > n - payload_at) {
    switch (rules_.overrun) {
      case Overrun::kStop:
        ended_ = true;
        return std::optional<Box>{};
      case Overrun::kFail:
        ended_ = true;
        return fail(msg::box_size_exceeds_data(box.size));
      case Overrun::kClip:
        ended_ = true;
        box.clipped = true;
        box.payload = bytes_.subspan(payload_at);
        position_ = n;
        return std::optional<Box>{box};
    }
  }
  box.payload = bytes_.subspan(payload_at, static_cast<std::size_t>(payload_length));
  position_ = payload_at + static_cast<std::size_t>(payload_length);
  return std::optional<Box>{box};
}

Result<std::vector<Box>> list_boxes(ByteView bytes, BoxRules rules, std::uint64_t origin) {
  std::vector<Box> boxes;
  BoxCursor cursor(bytes, rules, origin);
  while (auto box = PLEXO_TRY(cursor.next())) boxes.push_back(*box);
  return boxes;
}

const Box* find_box(const std::vector<Box>& boxes, FourCC type) {
  for (const Box& box : boxes)
    if (box.type == type) return &box;
  return nullptr;
}

Result<std::optional<Box>> find_box(ByteView bytes, FourCC type, BoxRules rules,
                                    std::uint64_t origin) {
  BoxCursor cursor(bytes, rules, origin);
  while (auto box = PLEXO_TRY(cursor.next()))
    if (box->type == type) return box;
  return std::optional<Box>{};
}

Result<std::optional<Box>> find_child(const Box& parent, FourCC type, BoxRules rules,
                                      std::size_t skip) {
  BoxCursor cursor = BoxCursor::children(parent, rules, skip);
  while (auto box = PLEXO_TRY(cursor.next()))
    if (box->type == type) return box;
  return std::optional<Box>{};
}

std::size_t nesting_depth(ByteView payload, std::size_t limit) {
  constexpr BoxRules kWholeBoxes{true, false, BoxRules::Undersized::kStop, BoxRules::Overrun::kStop};
  if (limit == 0 || payload.empty()) return 0;
  BoxCursor boxes(payload, kWholeBoxes);
  std::size_t deepest = 0;
  for (;;) {
    auto box = boxes.next();
    if (!box) return 0;
    if (!*box) break;
    deepest = std::max(deepest, nesting_depth((*box)->payload, limit - 1));
  }
  return boxes.position() == payload.size() ? deepest + 1 : 0;
}

namespace {

bool is_valid_utf8(const std::array<std::uint8_t, 4>& b) {
  std::size_t i = 0;
  while (i < b.size()) {
    const std::uint8_t lead = b[i];
    std::size_t extra;
    std::uint32_t smallest;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, smallest = 0x10000;
    } else {
      return false;
    }
    if (b.size() - i <= extra) return false;
    std::uint32_t code = lead & (0x3F >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((b[i + k] & 0xC0) != 0x80) return false;
      code = (code << 6) | (b[i + k] & 0x3F);
    }
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace

bool opens_with_box(ByteView file) {
  if (file.size() < 8) return false;
  const ByteView type = file.subspan(4, 4);
  if (!std::all_of(type.begin(), type.end(), [](std::uint8_t c) { return c >= 0x20 && c < 0x7F; }))
    return false;
  const std::uint32_t size = *load_u32(file, 0);
  return size <= 1 || (size >= 8 && size <= file.size());
}

std::string type_name(FourCC type) {
  if (!is_valid_utf8(type.bytes)) return "unknown";
  return std::string(type.bytes.begin(), type.bytes.end());
}

}  // namespace plexo::mp4
