#include "fragment_processor/track_bases.hpp"

namespace plexo::segments {

std::uint64_t TrackBases::rebase(TrackKey track, std::uint64_t time) {
  for (const Entry& entry : bases_) {
    if (entry.track == track) return time > entry.base ? time - entry.base : 0;
  }
  bases_.push_back({track, time});
  return 0;
}

std::optional<std::uint64_t> TrackBases::first() const {
  if (bases_.empty()) return std::nullopt;
  return bases_.front().base;
}

}  // namespace plexo::segments
