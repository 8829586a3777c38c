// The one writer of fragmented MP4 files. A movie described as for the progressive writer
// (movie_writer.hpp: ftyp brands, the moov box tree, tracks with their samples and media) is
// written as an initialisation segment (ftyp, then a moov whose sample tables are empty and
// whose mvex holds one trex per track) followed by movie fragments, each a moof and its mdat.
//
// Fragments: the first track leads. A fragment begins at its first sync sample presented at
// or after each multiple of the fragment duration on its own timeline (a key frame, for a
// video track; every sample of an audio-only movie), and where its next sample entry begins; the other tracks are cut at the same
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
#include <functional>
#include <optional>
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

// Where fragments begin on the leading track: at its first sync sample presented at or after
// each multiple of the fragment duration (its own timescale). Fed the samples in order.
class FragmentCutter {
 public:
  explicit FragmentCutter(std::int64_t step) : step_(step < 1 ? 1 : step), next_(step_) {}
  // Whether a sample presented at `presented` begins a new fragment (never the first sample).
  bool begins_fragment(bool first, bool sync, std::int64_t presented) {
    if (first || !sync || presented < next_) return false;
    next_ = (presented / step_ + 1) * step_;
    return true;
  }

 private:
  std::int64_t step_, next_;
};


// A track as its fragments write it.
struct FragmentTrack {
  std::uint32_t track_id = 0;
  std::uint64_t decode_time = 0;  // of the next fragment's first sample (tfdt)
  std::int64_t raise = 0;         // added to every composition offset
  // A track of several sample entries (TrackSamples::description_starts): each traf past the
  // first entry's names the entry of its samples, which a fragment never mixes (the first is
  // the trex's default).
  std::vector<std::uint64_t> description_starts;
  std::uint64_t samples = 0;  // written in earlier fragments
};

// Where each track's decode timeline starts: at its delay on the movie timeline, less the
// amount its composition offsets are raised by (`raise`, per track); when a track's delay
// leaves no room for that, every track starts later by the same amount.
std::vector<FragmentTrack> fragment_tracks(const std::vector<FragmentedTrack>& tracks,
                                           const std::vector<std::int64_t>& raise,
                                           std::uint32_t movie_timescale);

// Writes fragments one after another, each from the samples of every track it holds: the
// sequence numbers and decode times continue from one to the next. For a live stream, one
// fragment at a time; the whole-file plan below lays out all of them the same way.
class FragmentSequence {
 public:
  explicit FragmentSequence(std::vector<FragmentTrack> tracks) : tracks_(std::move(tracks)) {}
  // Hands each track's media for the samples given, in sample order, to the sink.
  using Gather = std::function<void(std::size_t track, const std::function<void(ByteView)>& sink)>;
  // Where a fragment goes: memory of exactly the size asked for, which the fragment fills.
  using Target = std::function<std::span<std::uint8_t>(std::size_t size)>;
  // One fragment (moof + mdat) of `samples[t]` for each track t (empty: no traf), written
  // into what `target` gives: the caller's own memory (a bytes object a client keeps), so
  // that the fragment is written once and never copied.
  Status write(const std::vector<std::span<const OutputSample>>& samples, const Gather& gather,
               const Target& target);

 private:
  friend class FragmentPlan;
  FragmentSequence() = default;
  struct TrackFragment {
    std::size_t track = 0;
    std::span<const OutputSample> samples;
    TrackFragmentHeader tfhd;
    TrackFragmentDecodeTime tfdt;
    TrackRun trun;
    std::uint64_t media_offset = 0;  // from the moof's first byte
    std::uint64_t media_size = 0;
  };
  struct Fragment {
    std::uint32_t sequence = 0;
    std::uint64_t moof_size = 0;
    std::uint64_t media_size = 0;
    std::vector<TrackFragment> trafs;
    std::uint64_t size() const;
    std::uint64_t header_size() const;  // moof and mdat header
  };
  // Lays out the next fragment and moves the decode times on; `Samples` gives each track's
  // samples of the fragment in order (tracks(), count(t), each(t, visit)).
  struct HeldSamples;
  Result<Fragment> lay_out(const std::vector<std::span<const OutputSample>>& samples);
  template <class Samples> Result<Fragment> lay_out_from(const Samples& samples);
  template <class Sink, class Samples> void write_headers(Sink& out, const Fragment& f, const Samples& samples) const;

  std::vector<FragmentTrack> tracks_;
  std::uint32_t sequence_ = 0;
};

// The initialisation segment of a fragmented movie: `movie` without its samples (moved to
// `samples`, track by track), its moov announcing fragments (mvex, one trex per track).
Result<MoviePlan> plan_init_segment(MovieModel movie, const std::vector<FragmentedTrack>& tracks,
                                    std::vector<TrackSamples>* samples);

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
  // The first sample of each fragment, per track.
  static std::vector<std::vector<std::uint32_t>> cut(const FragmentedMovieModel& model);
  struct TrackRanges;

  MoviePlan init_;
  std::vector<TrackSamples> tracks_;  // the samples and media, moved out of the movie
  std::optional<FragmentSequence> sequence_;
  std::vector<FragmentSequence::Fragment> fragments_;  // their trafs' sample views empty
  std::vector<std::uint32_t> first_samples_;  // each traf's first sample, fragment by fragment
  std::vector<std::uint64_t> offsets_;  // file position of each fragment
  std::uint64_t fragments_size_ = 0;
};

}  // namespace plexo::mp4
