#include "mp4_parser/fragment_runs.hpp"

namespace plexo::mp4 {

Result<TrackExtendsTable> TrackExtendsTable::read(ByteView moov_payload, BoxRules rules,
                                                  std::uint64_t origin) {
  TrackExtendsTable table;
  BoxCursor children(moov_payload, rules, origin);
  while (auto mvex = PLEXO_TRY(children.next())) {
    if (mvex->type != FourCC("mvex")) continue;
    BoxCursor boxes = BoxCursor::children(*mvex, rules);
    while (auto box = PLEXO_TRY(boxes.next())) {
      if (box->type != FourCC("trex")) continue;
      if (auto trex = TrackExtends::read(box->payload)) table.add(*trex);
    }
  }
  return table;
}

const TrackExtends* TrackExtendsTable::find(std::uint32_t track_id) const {
  auto found = by_track_.find(track_id);
  return found == by_track_.end() ? nullptr : &found->second;
}

}  // namespace plexo::mp4
