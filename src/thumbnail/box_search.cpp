#include "thumbnail/box_search.hpp"

#include "core/messages.hpp"
#include "mp4_parser/boxes.hpp"

namespace plexo::thumbnail {

Result<mp4::Box> find_top_level_box(ByteView input, FourCC type) {
  mp4::BoxCursor boxes(input, mp4::kPlainBoxes);
  while (auto box = PLEXO_TRY(boxes.next()))
    if (box->type == type) return *box;
  return fail(msg::box_not_found(mp4::type_name(type)));
}

Result<mp4::Box> find_child_box(const mp4::Box& parent, FourCC type) {
  mp4::BoxCursor boxes = mp4::BoxCursor::children(parent, mp4::kPlainBoxes);
  while (auto box = PLEXO_TRY(boxes.next()))
    if (box->type == type) return *box;
  return fail(msg::box_not_in_container(mp4::type_name(type)));
}

Result<std::uint32_t> first_sample_size(ByteView input, std::size_t stsz) {
  // The payload as far as the input goes, whatever the box's own size says.
  const ByteView payload =
      input.size() >= 8 && stsz <= input.size() - 8 ? input.subspan(stsz + 8) : ByteView{};
  if (!mp4::SampleSizes::read_header(payload)) return fail(msg::kInvalidStsz);
  auto size = mp4::SampleSizes::first_size(payload);
  if (!size) return fail(msg::kNoSampleSizes);
  return *size;
}

}  // namespace plexo::thumbnail
