// Where a rebased timeline starts when a movie's tracks move back together.
//
// Moving each track to its own zero shifts audio against video by whatever separated their
// first decode times (tens of milliseconds in ordinary encoder output, much more in a stream
// cut out of a live one). So every track moves back by one common time: the earliest of the
// tracks' first decode times, compared in seconds, and expressed in each track's timescale
// rounded down. The earliest track then starts exactly at 0, so do tracks that started with
// it, and no track's first time goes below 0. All of it is exact integer arithmetic.
#pragma once

#include <cstdint>
#include <optional>

#include "core/bytes.hpp"
#include "core/time.hpp"
#include "mp4_parser/boxes.hpp"

namespace plexo::mp4 {

class TimelineOrigin {
 public:
  // Offers a track's first decode time in its timescale; the origin is the earliest offered.
  // A timescale of 0 says nothing about seconds and is not offered.
  void offer(std::uint64_t decode_time, std::uint32_t timescale);
  bool empty() const { return timescale_ == 0; }
  // The origin counted in `timescale`, rounded down: never more than the first decode time
  // of any track offered in that timescale. 0 when nothing was offered or `timescale` is 0.
  std::uint64_t in(std::uint32_t timescale) const;

 private:
  std::uint64_t time_ = 0;
  std::uint32_t timescale_ = 0;  // 0: nothing offered
};

// A time moved back by `shift`, never below 0.
constexpr std::uint64_t rebase(std::uint64_t time, std::uint64_t shift) {
  return time > shift ? time - shift : 0;
}

// A segment index agrees with the fragments it indexes: when the decode times of its
// reference track move back to an origin, its earliest presentation time moves back by the
// same time, counted in the index's own timescale, and stays in its own width. `origin_of`
// gives the origin of a track_ID (TimelineOrigin). Gives where the field is and its new value;
// nothing when the payload cannot be read as an index or its timescale is 0.
struct FieldUpdate {
  FieldSpot spot;
  std::uint64_t value = 0;
};
template <class OriginOf>
std::optional<FieldUpdate> rebase_segment_index(ByteView sidx_payload, OriginOf&& origin_of) {
  auto index = SegmentIndex::read(sidx_payload);
  auto spot = SegmentIndex::earliest_presentation_time_spot(sidx_payload);
  if (!index || !spot || index->timescale == 0) return std::nullopt;
  const TimelineOrigin origin = origin_of(index->reference_id);
  return FieldUpdate{*spot, rebase(index->earliest_presentation_time, origin.in(index->timescale))};
}

}  // namespace plexo::mp4
