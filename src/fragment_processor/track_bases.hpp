// Where each track of a live stream is measured from.
//
// All tracks move back by one time, so that they stay in sync: the earliest first decode time
// among the tracks of the first segment that has any, compared in seconds with the timescales
// the initialisation segment gives (the stream's origin, see mp4_parser/timeline_origin.hpp).
// A track the initialisation segment does not describe cannot be compared with the others and
// is measured from its own first decode time instead.
//
// A segment's decode times are rewritten as it is walked, but while the origin is not known
// yet, a track that needs it waits until the segment has been walked (close_segment).
//
// Lookups are hash lookups, and the tracks remembered are at most kMaxRemembered: a track that
// the initialisation segment describes is remembered only when it came before the origin was
// known, and a stream with more tracks than any real one shares the first track's base among
// the tracks beyond the limit, so a stream of ever new track IDs keeps a bounded state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "mp4_parser/timeline_origin.hpp"

namespace plexo::fragment_processor {

// A track as a traf names it: the track_ID of its tfhd, or kNoTrackHeader for a traf that
// carries none (such trafs share one timeline of their own).
using TrackKey = std::uint64_t;
inline constexpr TrackKey kNoTrackHeader = std::uint64_t{1} << 32;

// The media timescale of each track an initialisation segment describes, by track_ID.
using TrackTimescales = std::unordered_map<std::uint32_t, std::uint32_t>;

// A track's base and the timescale it counts in (0 when the track's timescale is unknown).
struct TrackBase {
  std::uint64_t time = 0;
  std::uint32_t timescale = 0;
};

class TrackBases {
 public:
  static constexpr std::size_t kMaxRemembered = 4096;

  // What a decode time of `track` is measured from: its base, or, while the base waits for
  // the end of the segment, the track whose base it will be (itself, or the first track).
  struct Meeting {
    std::optional<std::uint64_t> base;
    TrackKey waits_for = 0;
  };

  // The timescales of the tracks that the initialisation segment describes; tracks already
  // met keep their bases.
  void set_timescales(TrackTimescales timescales) { timescales_ = std::move(timescales); }

  // A decode time of `track`; the first time of a track fixes or offers its base.
  Meeting meet(TrackKey track, std::uint64_t time);

  // Ends a segment: the tracks that waited take their bases from the origin it gave.
  void close_segment();

  // The base of a track met or described, once known.
  std::optional<TrackBase> base_of(TrackKey track) const;

  // The base of the first track met, if any.
  std::optional<std::uint64_t> first() const;

  // Forgets every base and the origin; the timescales stay.
  void clear();

 private:
  struct Entry {
    TrackBase base;
    bool waiting = false;  // for the origin of the segment being walked
  };

  std::optional<std::uint32_t> timescale_of(TrackKey track) const;
  void remember(TrackKey track, Entry entry);

  TrackTimescales timescales_;
  mp4::TimelineOrigin origin_;   // empty until a segment with a described track has closed
  mp4::TimelineOrigin opening_;  // offers of the segment being walked, while origin_ is empty
  std::unordered_map<TrackKey, Entry> remembered_;
  std::vector<TrackKey> waiting_;
  std::optional<TrackKey> first_;
};

}  // namespace plexo::fragment_processor
