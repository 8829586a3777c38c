#include "mp4_parser/fragment_runs.hpp"

#include <algorithm>
#include <iterator>

namespace plexo::mp4 {

Status TrackFragmentHeaders::find(ByteView traf_payload, BoxRules rules, std::uint64_t origin) {
  BoxCursor children(traf_payload, rules, origin);
  while (auto child = PLEXO_TRY(children.next())) {
    if (child->type == FourCC("tfhd") && !tfhd) tfhd = *child;
    else if (child->type == FourCC("tfdt") && !tfdt) tfdt = *child;
  }
  return {};
}

const TrackExtends* TrackExtendsTable::find(std::uint32_t track_id) const {
  auto found = by_track_.find(track_id);
  return found == by_track_.end() ? nullptr : &found->second;
}

void MediaDataIndex::add(const Box& box) {
  if (box.type != FourCC("mdat") || box.payload.empty()) return;
  if (!mdats_.empty() && mdats_.back() >= box.offset) return;  // top-level boxes only grow
  mdats_.push_back(box.offset);
}

MediaDataIndex::Span MediaDataIndex::payload_at(std::uint64_t offset) const {
  if (last_.begin <= offset && offset < last_.end) return last_;
  auto after = std::upper_bound(mdats_.begin(), mdats_.end(), offset);
  if (after == mdats_.begin()) return {};
  // The box was walked once: its header is whole; its payload is what the file holds.
  const std::uint64_t at = *std::prev(after);
  const std::uint32_t size_field = *load_u32(file_, static_cast<std::size_t>(at));
  std::uint64_t header = 8, size = size_field;
  if (size_field == 1) {
    header = 16;
    size = *load_u64(file_, static_cast<std::size_t>(at + 8));
  } else if (size_field == 0) {
    size = file_.size() - at;
  }
  const std::uint64_t end = size > file_.size() - at ? file_.size() : at + size;
  last_ = {at + header, end};
  return last_;
}

bool MediaDataIndex::holds(std::uint64_t offset, std::uint64_t size) const {
  const Span span = payload_at(offset);
  return span.begin <= offset && offset <= span.end && span.end - offset >= size;
}

}  // namespace plexo::mp4
