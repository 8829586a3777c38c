// The decode-time base of each track of a live stream, set by that track's first tfdt.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace plexo::segments {

// A track as a traf names it: the track_ID of its tfhd, or kNoTrackHeader for a traf that
// carries none (such trafs share one timeline of their own).
using TrackKey = std::uint64_t;
inline constexpr TrackKey kNoTrackHeader = std::uint64_t{1} << 32;

class TrackBases {
 public:
  // The time measured from the track's base, never below zero; the first time seen for a
  // track becomes its base (and so comes out as 0).
  std::uint64_t rebase(TrackKey track, std::uint64_t time);

  // The base of the first track met, if any.
  std::optional<std::uint64_t> first() const;
  void clear() { bases_.clear(); }

 private:
  struct Entry {
    TrackKey track;
    std::uint64_t base;
  };
  std::vector<Entry> bases_;  // in the order the tracks were first met; a handful at most
};

}  // namespace plexo::segments
