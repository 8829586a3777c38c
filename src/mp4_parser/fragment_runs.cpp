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
  if (!mdats_.empty() && mdats_.back().begin >= box.payload_offset()) return;  // top-level boxes only grow
  // The walk gave the payload the file holds of the box.
  mdats_.push_back({box.payload_offset(), box.end()});
}

MediaDataIndex::Span MediaDataIndex::payload_at(std::uint64_t offset) const {
  if (last_.begin <= offset && offset < last_.end) return last_;
  // The last mdat whose header starts at or before `offset`.
  auto after = std::upper_bound(mdats_.begin(), mdats_.end(), offset,
                                [](std::uint64_t at, const Span& span) { return at < span.begin; });
  if (after == mdats_.begin()) return {};
  last_ = *std::prev(after);
  return last_;
}

bool MediaDataIndex::holds(std::uint64_t offset, std::uint64_t size) const {
  const Span span = payload_at(offset);
  return span.begin <= offset && offset <= span.end && span.end - offset >= size;
}

}  // namespace plexo::mp4
