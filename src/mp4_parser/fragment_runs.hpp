// The one reader of movie fragments: walks the track fragments and runs of a moof and yields,
// per sample, where its bytes are, its size, duration, flags, composition offset and decode
// time. The defragmenter, the thumbnail (and the muxer and the timestamp reset) read runs
// through it and nothing else.
//
// Rules, the same for every caller:
// - Defaults: a field a run does not carry comes from the traf's first tfhd (which also names
//   its track), else from the first trex of the track, else 0 (the composition offset from nowhere: 0). The first-sample-flags of a
//   run replace the first sample's flags.
// - Where bytes are: a run's data offset counts from the traf's base: the tfhd's base data
//   offset, else the moof's first byte when the tfhd says default-base-is-moof or the traf is
//   the moof's first, else the end of the previous traf's data. A run without a data offset
//   starts where the previous run of the traf ended (the first at the base).
// - Decode times: a traf's tfdt gives its first sample's decode time; without one, the track
//   continues from the end of its previous traf (0 before the first).
// - Sample bytes are media only where an mdat payload holds them: a data offset of 0, one
//   that points into the moof, a run without an offset that would start at the moof, or a
//   moof whose runs point into the moof after it never make box headers into samples.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "core/bytes.hpp"
#include "core/error.hpp"
#include "core/messages.hpp"
#include "mp4_parser/box_cursor.hpp"
#include "mp4_parser/boxes.hpp"

namespace plexo::mp4 {

// Sample flags.
namespace sample_flags {
inline constexpr std::uint32_t kIsNonSync = 0x00010000;
inline constexpr std::uint32_t kDependsOnMask = 0x03000000;
inline constexpr std::uint32_t kDependsOnOthers = 0x01000000;
}  // namespace sample_flags
// A sync sample neither says it is non-sync nor that it depends on other samples.
inline constexpr bool is_sync_sample(std::uint32_t flags) {
  return (flags & sample_flags::kIsNonSync) == 0 &&
         (flags & sample_flags::kDependsOnMask) != sample_flags::kDependsOnOthers;
}

// The trex of each track of a movie (read with the movie, movie.hpp): the first trex of a
// track ID wins.
class TrackExtendsTable {
 public:
  const TrackExtends* find(std::uint32_t track_id) const;
  void add(const TrackExtends& trex) { by_track_.emplace(trex.track_id, trex); }

 private:
  std::unordered_map<std::uint32_t, TrackExtends> by_track_;
};

// The top-level mdat boxes of a file: the only places sample bytes may come from. Keeps the
// payload span (16 bytes) of each mdat that has a payload, so that the headers need not stay
// in memory (a file read in bounded memory lets them go).
class MediaDataIndex {
 public:
  // A top-level box of the file, in file order; anything but an mdat with a payload is
  // passed over.
  void add(const Box& box);
  // Whether one mdat payload holds [offset, offset + size) (as far as the file holds it).
  bool holds(std::uint64_t offset, std::uint64_t size) const;
  // Whether `offset` lies in an mdat payload.
  bool starts_in(std::uint64_t offset) const { return holds(offset, 0) && offset < payload_end(offset); }

 private:
  struct Span {
    std::uint64_t begin = 0, end = 0;
  };
  Span payload_at(std::uint64_t offset) const;  // of the last mdat that starts at or before it
  std::uint64_t payload_end(std::uint64_t offset) const { return payload_at(offset).end; }

  std::vector<Span> mdats_;  // payloads as far as the file holds them, ascending
  mutable Span last_;        // the span of the latest lookup
};

// What names and times a traf: its first tfhd (the track and its defaults) and its first
// tfdt. Later copies are never read, by any reader of fragments.
struct TrackFragmentHeaders {
  std::optional<Box> tfhd, tfdt;

  // Walks the traf's payload with `rules` (`origin`: the payload's position in the file).
  // A walk that fails keeps what it found before the failure and reports it.
  Status find(ByteView traf_payload, BoxRules rules, std::uint64_t origin = 0);
};

// One traf as the reader found it.
struct TrackFragmentInfo {
  std::uint32_t track_id = 0;
  std::optional<std::uint64_t> decode_time;  // its tfdt
  std::uint64_t base = 0;                    // where its data offsets count from
};

// One sample of a run.
struct FragmentSample {
  std::uint64_t offset = 0;  // file position of the sample's first byte
  std::uint32_t size = 0;
  std::uint32_t duration = 0;
  std::uint32_t flags = 0;
  std::uint32_t composition_offset = 0;  // raw 32 bits: signed in version-1 runs
  std::uint64_t decode_time = 0;
  std::uint32_t index_in_run = 0;
  // The run has no per-sample table: every later sample of the run is this one again, at
  // the following offsets.
  bool uniform_rest = false;

  std::int32_t signed_composition_offset() const {
    return static_cast<std::int32_t>(composition_offset);
  }
  bool sync() const { return is_sync_sample(flags); }
};

// How strictly runs are read.
enum class RunStrictness : std::uint8_t {
  // A traf without a readable tfhd, a run whose header or table does not fit, or a data
  // offset that leaves the file's address range fails with "Invalid track fragment".
  // Samples are yielded wherever their bytes are said to be.
  kStrict,
  // Whatever does not fit takes its default or is left out; a run ends at the first sample
  // whose bytes lie outside the file, at the end of its table when it has one, or at a
  // sample without bytes when it has none; all runs
  // together yield no more samples and bytes than the file holds.
  kLenient,
};

// What a visitor tells the reader after a sample.
enum class SampleAction : std::uint8_t { kNext, kSkipRun, kStop };

// Reads movie fragments one moof at a time, keeping each track's decode time between them.
//
// The visitor has two members:
//   bool track_fragment(const TrackFragmentInfo&)  — false skips the traf's samples;
//   SampleAction sample(const FragmentSample&)     — kSkipRun skips the rest of the run,
//                                                     kStop ends the walk (read() returns).
class FragmentRunReader {
 public:
  // With `media`, samples come only from mdat payloads: kLenient ends a run at the first
  // sample that one mdat payload does not hold, kStrict fails on a sample that starts inside
  // the file but in no mdat payload. Without it (readers that take no bytes), anywhere in
  // the file will do.
  FragmentRunReader(ByteView file, const TrackExtendsTable& trex, RunStrictness strictness,
                    const MediaDataIndex* media = nullptr)
      : file_(file), trex_(trex), strictness_(strictness), media_(media),
        budget_{file.size(), file.size()} {}

  // Reads the trafs of `moof` (a top-level box of `file`). Returns false when the visitor
  // stopped the walk.
  template <class Visitor>
  Result<bool> read(const Box& moof, Visitor& visitor);

 private:
  template <class Visitor>
  Result<SampleAction> read_run(const TrackRun& run, const TrackRunEntry& defaults,
                                std::uint64_t base, std::uint64_t& position,
                                std::uint64_t& decode_time, bool wanted, Visitor& visitor);
  static Unexpected<Error> invalid() { return fail(msg::kInvalidTrackFragment); }

  ByteView file_;
  const TrackExtendsTable& trex_;
  RunStrictness strictness_;
  const MediaDataIndex* media_;
  struct {
    std::uint64_t samples_left;
    std::uint64_t bytes_left;
  } budget_;
  std::unordered_map<std::uint32_t, std::uint64_t> next_decode_time_;
};

}  // namespace plexo::mp4

#include "mp4_parser/fragment_runs.inl"
