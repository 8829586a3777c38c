// The one writer of fragmented MP4 files. A movie described as for the progressive writer
// (movie_writer.hpp: ftyp brands, the moov box tree, tracks with their samples and media) is
// written as an initialisation segment (ftyp, then a moov whose sample tables are empty and
// whose mvex holds one trex per track) followed by movie fragments, each a moof and its mdat.
//
// Fragments: the first track leads. A fragment begins at its first sync sample presented at
// or after each multiple of the fragment duration on its own timeline (a key frame, for a
// video track; every sample of an audio-only movie); the other tracks are cut at the same
// movie times, so every fragment holds one traf per track that has samples in it, the leading
// track's first. Each traf carries tfhd (default-base-is-moof, defaults where all samples
// agree), tfdt (the track's decode time, continuous from fragment to fragment and starting at
// the track's delay on the movie timeline) and one trun (sizes, durations and flags where they
// differ, composition offsets when any is not 0, version 1 when one is negative). A track whose
// negative offsets are to be raised (TrackSamples::NegativeOffsets::kRaise) has them all
// raised by the most negative one's magnitude and decodes that much earlier instead, so every
// sample keeps its presentation time and readers that shift a track with negative offsets
// (as ffmpeg's does with fragments) agree with those that do not; when a track's delay leaves
// no room for that, the whole movie starts that much later. In the mdat the tracks' samples
// follow one another in traf order.
//
// Like the progressive writer, the plan fixes every size and offset before a byte is written,
// then writes into a span of exactly that size; the media bytes are copied once.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/buffer.hpp"
#include "core/error.hpp"
#include "mp4_parser/boxes.hpp"
#include "mp4_parser/movie_writer.hpp"

namespace plexo::mp4 {

// The ISO BMFF sample flags the fragments write.
inline constexpr std::uint32_t kSyncSampleFlags = 0x02000000;     // depends on no other sample
inline constexpr std::uint32_t kNonSyncSampleFlags = 0x01010000;  // depends on others, not sync

// Where one track of the movie lies on the movie timeline.
struct FragmentedTrack {
  std::uint32_t track_id = 0;
  std::uint32_t timescale = 0;  // media timescale
  std::uint64_t delay = 0;      // movie timescale: when the track's media time 0 is presented
};

struct FragmentedMovieModel {
  // ftyp brands, the moov tree (stbl nodes are written with empty tables), the tracks with
  // their samples and media. Edit lists, if the tree has any, are written as they are: a
  // track's delay is best given in `tracks` instead, where it becomes its first decode time.
  MovieModel movie;
  std::vector<FragmentedTrack> tracks;  // one per movie track, same order
  std::uint32_t movie_timescale = 0;
  std::uint64_t fragment_duration = 0;  // movie timescale, at least 1
};

class FragmentPlan {
 public:
  // Fails when a track holds 2^32 samples or more, when a fragment's media cannot be
  // addressed from its moof (2 GiB), or when a track's media does not add up to its sizes.
  static Result<FragmentPlan> lay_out(FragmentedMovieModel model);

  std::uint64_t size() const { return init_.size() + fragments_size_; }
  std::uint64_t init_size() const { return init_.size(); }
  std::size_t fragment_count() const { return fragments_.size(); }

  // Writes the initialisation segment and every fragment into `out` (size() bytes).
  Status write(std::span<std::uint8_t> out) const;

 private:
  struct TrackFragment {
    std::size_t track = 0;
    std::uint32_t first = 0, count = 0;  // samples of the track
    TrackFragmentHeader tfhd;
    TrackFragmentDecodeTime tfdt;
    TrackRun trun;
    std::uint64_t media_offset = 0;  // file position of its first media byte
    std::uint64_t media_size = 0;
  };
  struct Fragment {
    std::uint64_t offset = 0;  // file position of the moof
    std::uint64_t moof_size = 0;
    std::uint64_t media_size = 0;
    std::vector<TrackFragment> trafs;
  };
  // The first sample of each fragment, per track.
  std::vector<std::vector<std::uint32_t>> cut(const FragmentedMovieModel& model) const;
  template <class Sink> void write_fragment(Sink& out, std::uint32_t sequence, const Fragment& f) const;

  MoviePlan init_;
  std::vector<TrackSamples> tracks_;  // the samples and media, moved out of the movie
  std::vector<std::int64_t> raise_;   // per track: added to every composition offset
  std::vector<Fragment> fragments_;
  std::uint64_t fragments_size_ = 0;
};

// A PlannedOutput over a FragmentPlan together with whatever its views point into.
template <class Keep>
class PlannedFragments final : public PlannedOutput {
 public:
  PlannedFragments(Keep keep, FragmentPlan plan) : keep_(std::move(keep)), plan_(std::move(plan)) {}
  std::uint64_t size() const override { return plan_.size(); }
  Status write(std::span<std::uint8_t> out) override { return plan_.write(out); }

 private:
  Keep keep_;
  FragmentPlan plan_;
};

}  // namespace plexo::mp4
