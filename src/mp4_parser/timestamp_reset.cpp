// A fragmented MP4 whose decode timeline starts at zero, and otherwise the file it was.
//
// The output is the input copied once with a few fields rewritten in place: every tfdt time,
// the earliest presentation time of every top-level sidx, and the times and durations of the
// movie, track and media headers. No box changes length and every header keeps its form, so
// chunk offsets and run data offsets stay valid. The one change of structure: a file with
// several moov boxes keeps the first, the one readers play, and drops the others.
//
// All tracks move back by one common time (timeline_origin.hpp), so they keep their sync.
// Durations come from the fragments: a track ends where its last fragment's samples end.
//
// Presentation then starts at zero too: where every track's edit list begins with an empty
// edit (an encoder's start offset, as in a progressive file starting at 100 s), all tracks
// move back by the shortest of those, in the movie timescale. A first edit shortened to
// nothing is dropped from its elst, and a free box of the entry's size takes its bytes after
// the list, so that the edts keeps its length. The track and movie durations of tracks without
// fragments shrink by the same time.
#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/copy.hpp"
#include "core/messages.hpp"
#include "mp4_parser/box_cursor.hpp"
#include "mp4_parser/boxes.hpp"
#include "mp4_parser/fragment_runs.hpp"
#include "mp4_parser/movie.hpp"
#include "mp4_parser/movie_writer.hpp"
#include "mp4_parser/operations.hpp"
#include "mp4_parser/timeline_origin.hpp"

namespace plexo::mp4 {
namespace {


// What a track's fragments say about its timeline, in its own timescale.
struct FragmentTimeline {
  std::uint64_t first = 0;          // decode time of its first traf
  std::uint64_t last_start = 0;     // decode time of its latest traf
  std::uint64_t last_duration = 0;  // latest length estimate
  std::uint64_t next = 0;           // where a traf without a tfdt continues

  std::uint64_t end() const { return checked_add(last_start, last_duration).value_or(UINT64_MAX); }

  // A traf starting at `start` (its tfdt, or where the track had got to) whose samples last
  // `length`. A traf without durations is taken to last as long as the gap from the traf
  // before it.
  void add(std::uint64_t start, std::uint64_t length, bool first_traf) {
    if (first_traf) first = start;
    if (length > 0) last_duration = length;
    else if (!first_traf && start > last_start) last_duration = start - last_start;
    last_start = start;
    next = checked_add(start, length).value_or(UINT64_MAX);
  }
};

// One traf: its track and the sum of its samples' durations, as the run reader gives them.
struct TrackFragmentTimes {
  std::uint32_t track_id = 0;
  std::optional<std::uint64_t> decode_time;
  std::uint64_t duration = 0;
};

struct TrafCollector {
  std::vector<TrackFragmentTimes>& trafs;

  bool track_fragment(const TrackFragmentInfo& info) {
    trafs.push_back({info.track_id, info.decode_time, 0});
    return true;
  }
  SampleAction sample(const FragmentSample& sample) {
    trafs.back().duration += sample.duration;  // at most one sample per byte of the file
    return SampleAction::kNext;
  }
};

// A tfdt to rewrite: its traf's track, where its time is and what it says (read while its
// moof is at hand).
struct DecodeTimeBox {
  std::uint32_t track_id = 0;
  bool short_box = false;            // no room for the version and flags
  std::optional<FieldSpot> spot;     // none: no time to move
  std::uint64_t time = 0;
  std::uint64_t payload_offset = 0;  // in the input
};

// A field of the input rewritten in the output.
struct Patch {
  std::uint64_t at = 0;  // of the field's first byte: in the input, once placed in the output
  FieldSpot spot;        // its width; `spot.at` is 0
  std::uint64_t value = 0;
};

// Bytes of the input replaced by as many others (an edit list without its first entry).
struct Rewrite {
  std::uint64_t at = 0;  // in the input, once placed in the output
  Buffer bytes;
};

// A run of input bytes copied to the output.
struct Piece {
  std::uint64_t from = 0;
  std::uint64_t length = 0;
  std::uint64_t to = 0;
};

class TimelineReset final : public PlannedOutput {
 public:
  TimelineReset(ByteView input, std::vector<Piece> pieces, std::vector<Patch> patches,
                std::vector<Rewrite> rewrites, std::uint64_t size)
      : input_(input), pieces_(std::move(pieces)), patches_(std::move(patches)),
        rewrites_(std::move(rewrites)), size_(size) {}

  std::uint64_t size() const override { return size_; }

  Status write(std::span<std::uint8_t> out) override {
    if (out.size() != size_) return fail(msg::kOutputSizeMismatch);
    for (const Piece& piece : pieces_)
      copy_bytes(out.data() + piece.to, input_.data() + piece.from, piece.length);
    for (const Patch& patch : patches_) patch.spot.write(out.subspan(patch.at), patch.value);
    for (const Rewrite& rewrite : rewrites_)
      copy_bytes(out.data() + rewrite.at, rewrite.bytes.data(), rewrite.bytes.size());
    return {};
  }

  // The file: the pieces copied from the input file by the writer, then each patch.
  Status write(FileWriter& out) override {
    for (const Piece& piece : pieces_) out.put(input_.subspan(piece.from, piece.length));
    PLEXO_CHECK(out.flush());
    if (out.position() != size_) return fail(msg::kOutputSizeMismatch);
    std::array<std::uint8_t, 8> field{};
    for (const Patch& patch : patches_) {
      patch.spot.write(field, patch.value);
      PLEXO_CHECK(out.patch(patch.at, ByteView(field.data(), patch.spot.width)));
    }
    for (const Rewrite& rewrite : rewrites_) PLEXO_CHECK(out.patch(rewrite.at, rewrite.bytes.view()));
    return {};
  }

 private:
  ByteView input_;
  std::vector<Piece> pieces_;
  std::vector<Patch> patches_;
  std::vector<Rewrite> rewrites_;
  std::uint64_t size_;
};

// Maps input positions into the output: the input with every moov but the first left out.
class OutputLayout {
 public:
  void copy(std::uint64_t from, std::uint64_t length) {
    if (length == 0) return;
    if (!pieces_.empty() && pieces_.back().from + pieces_.back().length == from)
      pieces_.back().length += length;
    else
      pieces_.push_back({from, length, size_});
    size_ += length;
  }
  std::uint64_t size() const { return size_; }

  // Moves patches (or rewrites) from input positions to output positions; every byte patched
  // lies in a piece. (A file of many moov boxes has as many pieces: look them up by position.)
  template <class Fix>
  void place(std::vector<Fix>& patches) const {
    std::vector<Piece> by_input = pieces_;
    std::sort(by_input.begin(), by_input.end(),
              [](const Piece& a, const Piece& b) { return a.from < b.from; });
    for (Fix& patch : patches) {
      auto after = std::upper_bound(by_input.begin(), by_input.end(), patch.at,
                                    [](std::uint64_t at, const Piece& piece) { return at < piece.from; });
      const Piece& piece = *std::prev(after);
      patch.at = piece.to + (patch.at - piece.from);
    }
  }
  std::vector<Piece> take() { return std::move(pieces_); }

 private:
  std::vector<Piece> pieces_;
  std::uint64_t size_ = 0;
};

Unexpected<Error> too_short(const Box& box) {
  const bool v1 = is_version1(box.payload);
  const std::size_t needed = (v1 ? 32 : 20) + (box.type == FourCC("tkhd") ? 4 : 0);
  return fail(msg::header_box_too_short(type_name(box.type), v1, needed, box.payload.size()));
}

class ResetPlanner {
 public:
  explicit ResetPlanner(const MediaInput& input) : source_(input), input_(input.bytes) {}

  Result<std::unique_ptr<PlannedOutput>> plan() {
    std::vector<Box> top = PLEXO_TRY(source_.top_level());
    const Box* moov = nullptr;
    for (const Box& box : top)
      if (box.type == FourCC("moov") && !moov) moov = &box;

    // Refused before any fragment is read.
    if (!moov) return fail(msg::kMoovNotFound);
    movie_ = PLEXO_TRY(Movie::read(*moov));
    PLEXO_CHECK(read_fragments(top));
    place_tracks();
    place_edits();
    PLEXO_CHECK(rewrite_movie());
    PLEXO_CHECK(rewrite_decode_times());
    PLEXO_CHECK(rewrite_edits());
    rewrite_segment_indexes(top);
    lay_out(top, *moov);

    layout_.place(patches_);
    layout_.place(rewrites_);
    const std::uint64_t size = layout_.size();
    return std::unique_ptr<PlannedOutput>(std::make_unique<TimelineReset>(
        input_, layout_.take(), std::move(patches_), std::move(rewrites_), size));
  }

 private:
  // Every traf of every moof, in file order: its track, times and tfdt boxes.
  Status read_fragments(const std::vector<Box>& top) {
    FragmentRunReader runs(input_, movie_.trex, RunStrictness::kLenient);
    std::vector<TrackFragmentTimes> trafs;
    for (const Box& moof : top) {
      if (moof.type != FourCC("moof")) continue;
      trafs.clear();
      PLEXO_CHECK(source_.load(moof));
      Status read = read_fragment(runs, moof, trafs);
      source_.release(moof);
      PLEXO_CHECK(read);
    }
    return {};
  }

  Status read_fragment(FragmentRunReader& runs, const Box& moof,
                       std::vector<TrackFragmentTimes>& trafs) {
    {
      TrafCollector collector{trafs};
      (void)PLEXO_TRY(runs.read(moof, collector));

      // The reader saw the same trafs in the same order.
      std::size_t index = 0;
      BoxCursor children = BoxCursor::children(moof, kChildBoxes);
      while (auto traf = PLEXO_TRY(children.next())) {
        if (traf->type != FourCC("traf")) continue;
        if (index >= trafs.size()) return fail(msg::kFragmentsChanged);
        const TrackFragmentTimes& times = trafs[index++];
        BoxCursor boxes = BoxCursor::children(*traf, kChildBoxes);
        while (auto box = PLEXO_TRY(boxes.next()))
          if (box->type == FourCC("tfdt")) {
            DecodeTimeBox tfdt{times.track_id, box->payload.size() < 4, std::nullopt, 0,
                               box->payload_offset()};
            if (!tfdt.short_box) tfdt.spot = TrackFragmentDecodeTime::decode_time_spot(box->payload);
            if (tfdt.spot) tfdt.time = tfdt.spot->read(box->payload);
            decode_times_.push_back(tfdt);
          }
        add_traf(times);
      }
    }
    return {};
  }

  void add_traf(const TrackFragmentTimes& traf) {
    auto [entry, first_traf] = timelines_.try_emplace(traf.track_id);
    FragmentTimeline& timeline = entry->second;
    timeline.add(traf.decode_time.value_or(timeline.next), traf.duration, first_traf);
  }

  // Which tracks move together, and by how much each track moves.
  void place_tracks() {
    for (const MovieTrack& track : movie_.tracks) {
      const std::uint32_t timescale = track.timescale.value_or(0);
      if (!track.track_id || timescale == 0) continue;
      auto found = timelines_.find(*track.track_id);
      if (found == timelines_.end()) continue;
      origin_.offer(found->second.first, timescale);
      timed_.try_emplace(*track.track_id, timescale);
    }
    for (const auto& [track_id, timeline] : timelines_) {
      auto timed = timed_.find(track_id);
      // A track the movie gives no timescale cannot be compared with the others: it moves
      // to its own zero.
      shifts_[track_id] = timed == timed_.end() ? timeline.first : origin_.in(timed->second);
    }
  }

  // The empty edit every placed track begins with, and how much of it all tracks drop. A
  // track is placed when it has fragments or its tables list samples.
  void place_edits() {
    std::optional<std::uint64_t> shift;
    for (const MovieTrack& track : movie_.tracks) {
      const auto sizes = track.tables.stsz ? SampleSizes::read_header(track.tables.stsz->payload) : std::nullopt;
      const bool tables = sizes && sizes->sample_count > 0;
      if (!track.track_id || (!timeline_of(track) && !tables)) continue;
      const std::uint64_t lead = leading_empty_edit(track).value_or(0);
      shift = std::min(shift.value_or(lead), lead);
    }
    edit_shift_ = shift.value_or(0);
  }

  // The duration of the empty edit a track's edit list begins with, when media follows it.
  static std::optional<std::uint64_t> leading_empty_edit(const MovieTrack& track) {
    auto edits = track.edit_list();
    if (!edits || edits->entries.size() < 2 || edits->entries[0].media_time != -1) return std::nullopt;
    return edits->entries[0].segment_duration;
  }

  // Shortens each track's leading empty edit by the common shift, dropping it when nothing
  // is left of it (the list then ends with a free box of the entry's size).
  Status rewrite_edits() {
    if (edit_shift_ == 0) return {};
    for (const MovieTrack& track : movie_.tracks) {
      if (!track.edts) continue;
      auto found = find_child(*track.edts, "elst");
      if (!found || !*found) continue;
      const Box& elst = **found;
      auto edits = EditList::read(elst.payload);
      if (!edits || edits->entries.size() < 2 || edits->entries[0].media_time != -1) continue;
      if (elst.clipped) continue;
      const bool v1 = is_version1(elst.payload);
      const std::size_t width = v1 ? 20 : 12;
      const std::uint64_t lead = edits->entries[0].segment_duration;
      // What is left of the edit, or a list under a 64-bit header (kept as it is), is
      // rewritten in place.
      if (lead > edit_shift_ || elst.header_length != 8) {
        patch(elst.payload_offset(), FieldSpot{8, static_cast<std::uint8_t>(v1 ? 8 : 4)}, rebase(lead, edit_shift_));
        continue;
      }
      Buffer bytes;
      put_box_header(bytes, FourCC("elst"), elst.payload.size() - width);
      bytes.put(elst.payload.first(4));  // version and flags
      bytes.put_u32(static_cast<std::uint32_t>(edits->entries.size() - 1));
      bytes.put(elst.payload.subspan(8 + width));
      put_box_header(bytes, FourCC("free"), width - 8);
      bytes.put_zeros(width - 8);
      rewrites_.push_back({elst.offset, std::move(bytes)});
    }
    return {};
  }

  const FragmentTimeline* timeline_of(const MovieTrack& track) const {
    if (!track.track_id) return nullptr;
    auto found = timelines_.find(*track.track_id);
    return found == timelines_.end() ? nullptr : &found->second;
  }

  // Where a track's fragments end once moved back, in its media timescale.
  std::uint64_t media_end(const MovieTrack& track, const FragmentTimeline& timeline) const {
    return rebase(timeline.end(), shifts_.at(*track.track_id));
  }

  // Creation and modification times become 0; the duration becomes `duration` when given.
  Status rewrite_header(const Box& box, std::optional<HeaderTimeSpots> spots,
                        std::optional<std::uint64_t> duration) {
    if (box.payload.size() < 4) return fail(msg::kShortFullBox);
    if (!spots) return too_short(box);
    const std::uint64_t at = box.payload_offset();
    patch(at, spots->creation_time, 0);
    patch(at, spots->modification_time, 0);
    if (duration) patch(at, spots->duration, *duration);
    return {};
  }

  Status rewrite_movie() {
    // The movie lasts as long as its longest track with fragments; a movie without
    // fragments keeps its durations.
    const std::uint32_t movie_timescale = movie_.timescale.value_or(0);
    std::optional<std::uint64_t> movie_duration;
    for (const MovieTrack& track : movie_.tracks)
      if (const FragmentTimeline* timeline = timeline_of(track))
        movie_duration = std::max(movie_duration.value_or(0),
                                  rescale_up(media_end(track, *timeline), track.timescale.value_or(0),
                                             movie_timescale));

    // ...less the start offset its edits drop.
    auto shortened = [this](const Box& box, std::optional<HeaderTimeSpots> spots) -> std::optional<std::uint64_t> {
      if (edit_shift_ == 0 || !spots) return std::nullopt;
      return rebase(spots->duration.read(box.payload), edit_shift_);
    };
    if (movie_.mvhd) {
      const auto spots = MovieHeader::time_spots(movie_.mvhd->payload);
      if (!movie_duration) movie_duration = shortened(*movie_.mvhd, spots);
      PLEXO_CHECK(rewrite_header(*movie_.mvhd, spots, movie_duration));
    }
    for (const MovieTrack& track : movie_.tracks) {
      std::optional<std::uint64_t> media, movie;
      if (const FragmentTimeline* timeline = timeline_of(track)) {
        media = media_end(track, *timeline);
        movie = rescale_up(*media, track.timescale.value_or(0), movie_timescale);
      } else if (track.tkhd && leading_empty_edit(track)) {
        movie = shortened(*track.tkhd, TrackHeader::time_spots(track.tkhd->payload));
      }
      if (track.tkhd)
        PLEXO_CHECK(rewrite_header(*track.tkhd, TrackHeader::time_spots(track.tkhd->payload), movie));
      if (track.mdhd)
        PLEXO_CHECK(rewrite_header(*track.mdhd, MediaHeader::time_spots(track.mdhd->payload), media));
    }
    return {};
  }

  Status rewrite_decode_times() {
    for (const DecodeTimeBox& tfdt : decode_times_) {
      if (tfdt.short_box) return fail(msg::kShortFullBox);
      if (!tfdt.spot) continue;  // no time to move
      patch(tfdt.payload_offset, *tfdt.spot, rebase(tfdt.time, shifts_.at(tfdt.track_id)));
    }
    return {};
  }

  void rewrite_segment_indexes(const std::vector<Box>& top) {
    auto origin_of = [this](std::uint32_t reference_id) {
      // An index of a track that moved to its own zero is left as it is.
      const bool own_zero = shifts_.contains(reference_id) && !timed_.contains(reference_id);
      return own_zero ? TimelineOrigin{} : origin_;
    };
    for (const Box& box : top)
      if (box.type == FourCC("sidx"))
        if (auto update = rebase_segment_index(box.payload, origin_of))
          patch(box.payload_offset(), update->spot, update->value);
  }

  void lay_out(const std::vector<Box>& top, const Box& moov) {
    bool moov_placed = false;
    std::uint64_t end = 0;
    for (const Box& box : top) {
      end = box.end();
      if (box.type == FourCC("moov")) {
        if (!moov_placed) layout_.copy(moov.offset, moov.end() - moov.offset);
        moov_placed = true;
        continue;
      }
      layout_.copy(box.offset, box.end() - box.offset);
    }
    layout_.copy(end, input_.size() - end);  // bytes too few for a box header
  }

  void patch(std::uint64_t payload_offset, FieldSpot spot, std::uint64_t value) {
    patches_.push_back({payload_offset + spot.at, FieldSpot{0, spot.width}, value});
  }

  const MediaInput& source_;
  ByteView input_;
  std::vector<DecodeTimeBox> decode_times_;
  std::unordered_map<std::uint32_t, FragmentTimeline> timelines_;  // by track_ID
  Movie movie_;
  TimelineOrigin origin_;
  std::unordered_map<std::uint32_t, std::uint32_t> timed_;   // track_ID → timescale
  std::unordered_map<std::uint32_t, std::uint64_t> shifts_;  // track_ID → how far it moves
  std::vector<Patch> patches_;  // at: input positions until placed
  std::vector<Rewrite> rewrites_;
  std::uint64_t edit_shift_ = 0;  // movie timescale
  OutputLayout layout_;
};

}  // namespace

Result<std::unique_ptr<PlannedOutput>> plan_reset_timeline(const MediaInput& input) {
  return ResetPlanner(input).plan();
}

Result<std::unique_ptr<PlannedOutput>> plan_defragment_or_reset(ByteView input) {
  // A fragmented file is flattened (its sample times come from the durations, so it starts
  // at zero either way); anything defragmenting refuses is reset instead.
  if (auto flat = plan_defragment(input)) return flat;
  return plan_reset_timeline(input);
}

Result<Buffer> reset_timeline(ByteView input) {
  std::unique_ptr<PlannedOutput> planned = PLEXO_TRY(plan_reset_timeline(input));
  return write_planned(*planned);
}

Result<Buffer> defragment_or_reset(ByteView input) {
  std::unique_ptr<PlannedOutput> planned = PLEXO_TRY(plan_defragment_or_reset(input));
  return write_planned(*planned);
}

}  // namespace plexo::mp4
