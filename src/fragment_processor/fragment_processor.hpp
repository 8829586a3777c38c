// Rebases the decode times of live fragmented MP4 segments to zero, one segment at a time:
// every tfdt, and the earliest presentation time of every top-level sidx, in place. The
// tracks move back together (track_bases.hpp) when the initialisation segment gives their
// timescales.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/buffer.hpp"
#include "core/span_writer.hpp"
#include "core/bytes.hpp"
#include "core/error.hpp"
#include "fragment_processor/track_bases.hpp"
#include "mp4_parser/box_cursor.hpp"
#include "mp4_parser/boxes.hpp"
#include "mp4_parser/fragment_runs.hpp"

namespace plexo::fragment_processor {

class FragmentProcessor {
 public:
  // The base of the first track met since creation or the last reset, in its timescale.
  std::optional<std::uint64_t> base_decode_time() const;
  void set_init_segment(ByteView init);
  Result<Buffer> process_segment(ByteView segment);
  // The same into `out`, which must hold at least segment.size() bytes (the result never
  // outgrows the segment); returns how many bytes were written. A segment cut short loses
  // its cut-off boxes; with `complete`, it is refused instead (check_segment), before any
  // base is taken from it.
  Result<std::size_t> process_segment_into(ByteView segment, std::span<std::uint8_t> out,
                                           bool complete = false);
  // Whether a segment is whole: it holds a box, every box ends within it, every moof is
  // followed by an mdat, and every sample of its runs (read with the initialisation
  // segment's track defaults) lies in a whole mdat.
  Status check_segment(ByteView segment) const;
  void reset();

 private:
  Result<std::size_t> rewrite(ByteView segment, std::span<std::uint8_t> target);
  Status copy_moof(ByteView moof, SpanWriter& out);
  Status copy_traf(ByteView traf, SpanWriter& out);
  void rebase_tfdt(const mp4::Box& tfdt, ByteView bytes, TrackKey track, SpanWriter& out);

  // A tfdt written out before its track's base was known.
  struct WaitingTime {
    std::size_t payload_at = 0;  // in the output
    mp4::FieldSpot spot;
    TrackKey track = 0;          // whose base it takes
    std::uint64_t time = 0;
  };
  // A top-level sidx: where its payload went in the output, and the payload as it came.
  struct SegmentIndexAt {
    std::size_t payload_at = 0;
    ByteView payload;
  };
  void rebase_index(const SegmentIndexAt& index) const;
  std::span<std::uint8_t> payload_in(std::size_t at) const;

  TrackBases bases_;
  std::vector<std::uint8_t> init_segment_;  // its track timescales keep the tracks in sync
  mp4::TrackExtendsTable trex_;             // and its track defaults describe the runs
  // Of the segment being processed.
  std::vector<WaitingTime> waiting_;
  std::vector<SegmentIndexAt> indexes_;
  std::span<std::uint8_t> written_;  // where the segment being processed is written
};

}  // namespace plexo::fragment_processor
