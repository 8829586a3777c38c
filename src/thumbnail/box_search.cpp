#include "thumbnail/box_search.hpp"

#include "core/messages.hpp"

namespace plexo::thumbnail {
namespace {

// stsz: version/flags, sample_size, sample_count, then the first entry.
constexpr std::size_t kUniformSize = 12;  // from the box's first byte
constexpr std::size_t kFirstEntry = 20;

}  // namespace

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
  if (input.size() < kFirstEntry || stsz > input.size() - kFirstEntry) return fail(msg::kInvalidStsz);
  const std::uint32_t sample_size = *load_u32(input, stsz + kUniformSize);
  if (sample_size != 0) return sample_size;
  auto first_entry = load_u32(input, stsz + kFirstEntry);
  if (!first_entry) return fail(msg::kNoSampleSizes);
  return *first_entry;
}

}  // namespace plexo::thumbnail
