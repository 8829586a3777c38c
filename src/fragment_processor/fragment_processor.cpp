#include "fragment_processor/fragment_processor.hpp"

#include <algorithm>
#include <iterator>
#include <span>

#include "core/messages.hpp"
#include "mp4_parser/box_cursor.hpp"
#include "mp4_parser/boxes.hpp"
#include "mp4_parser/fragment_runs.hpp"
#include "mp4_parser/movie.hpp"
#include "mp4_parser/timeline_origin.hpp"

namespace plexo::fragment_processor {
namespace {

using mp4::Box;
using mp4::BoxCursor;

constexpr std::size_t kBoxHeader = 8;

// Calls visit(box, bytes) for each complete box of `container` after its first `skip` bytes,
// with the live rules: a size below 8 (0 and 1 included) fails with "Invalid box size"; a box
// running past the container, or fewer than 8 bytes left, ends the walk quietly (live
// segments are often cut short).
template <class Visit>
Status walk_boxes(ByteView container, std::size_t skip, Visit&& visit) {
  BoxCursor boxes(container.subspan(skip), mp4::kSegmentBoxes, skip);
  while (auto box = PLEXO_TRY(boxes.next())) {
    const ByteView bytes = container.subspan(static_cast<std::size_t>(box->offset),
                                             static_cast<std::size_t>(box->size));
    PLEXO_CHECK(visit(*box, bytes));
  }
  return {};
}

// The track a traf belongs to, from its first tfhd. Read ahead of the rewriting walk so that
// a tfdt is matched with its track whatever the order of the traf's children.
TrackKey traf_track(ByteView traf) {
  mp4::TrackFragmentHeaders headers;
  // A malformed child ends this look-ahead; the rewriting walk reports it.
  (void)headers.find(traf.subspan(kBoxHeader), mp4::kSegmentBoxes);
  if (!headers.tfhd) return kNoTrackHeader;
  auto header = mp4::TrackFragmentHeader::read(headers.tfhd->payload);
  return header ? TrackKey{header->track_id} : kNoTrackHeader;
}

// The initialisation segment's movie. One that cannot be read describes nothing: a
// processor works without an initialisation segment too.
std::optional<mp4::Movie> read_movie(ByteView init) {
  auto moov = mp4::find_box(init, FourCC("moov"));
  if (!moov || !*moov) return std::nullopt;
  auto movie = mp4::Movie::read(**moov);
  if (!movie) return std::nullopt;
  return std::move(*movie);
}

// The media timescale of every track of the movie, by track_ID (the first track of an ID
// counts).
TrackTimescales read_timescales(const std::optional<mp4::Movie>& movie) {
  TrackTimescales timescales;
  if (!movie) return timescales;
  for (const mp4::MovieTrack& track : movie->tracks)
    if (track.track_id && track.timescale && *track.timescale != 0)
      timescales.emplace(*track.track_id, *track.timescale);
  return timescales;
}

// Stops at the first sample whose bytes no whole mdat holds. An identical rest of a run
// without bytes is skipped at once; every other sample takes bytes, so the walk is bounded
// by the segment's size.
struct SampleBytesCheck {
  const mp4::MediaDataIndex& media;
  bool outside = false;

  bool track_fragment(const mp4::TrackFragmentInfo&) { return true; }
  mp4::SampleAction sample(const mp4::FragmentSample& s) {
    if (s.size == 0) return s.uniform_rest ? mp4::SampleAction::kSkipRun : mp4::SampleAction::kNext;
    if (!media.holds(s.offset, s.size)) {
      outside = true;
      return mp4::SampleAction::kStop;
    }
    return mp4::SampleAction::kNext;
  }
};

// Whether a box cut short at the segment's start is one a segment holds (else the bytes are
// no box at all).
bool segment_box(FourCC type) {
  static constexpr FourCC kKnown[] = {FourCC("styp"), FourCC("sidx"), FourCC("moof"), FourCC("mdat"),
                                      FourCC("emsg"), FourCC("prft"), FourCC("ftyp"), FourCC("moov"),
                                      FourCC("free"), FourCC("skip")};
  return std::find(std::begin(kKnown), std::end(kKnown), type) != std::end(kKnown);
}

}  // namespace

std::optional<std::uint64_t> FragmentProcessor::base_decode_time() const {
  return bases_.first();
}

void FragmentProcessor::set_init_segment(ByteView init) {
  init_segment_.assign(init.begin(), init.end());
  const std::optional<mp4::Movie> movie = read_movie(init_segment_);
  bases_.set_timescales(read_timescales(movie));
  trex_ = movie ? movie->trex : mp4::TrackExtendsTable{};
}

Status FragmentProcessor::check_segment(ByteView segment) const {
  // The walk the rewriting does, but keeping a box cut short to name it.
  std::vector<Box> boxes;
  BoxCursor cursor(segment, mp4::kPlainBoxes);
  while (auto box = PLEXO_TRY(cursor.next())) boxes.push_back(*box);
  if (boxes.empty() || (boxes.size() == 1 && boxes[0].clipped && !segment_box(boxes[0].type)))
    return fail(msg::kSegmentWithoutBoxes);

  // Each moof has an mdat before the next moof (a cut-short one is reported below).
  mp4::MediaDataIndex media;
  bool moof_waiting = false;
  for (const Box& box : boxes) {
    if (!box.clipped) media.add(box);
    if (box.type == FourCC("mdat")) moof_waiting = false;
    if (box.type != FourCC("moof")) continue;
    if (moof_waiting) return fail(msg::kMoofWithoutMdat);
    moof_waiting = !box.clipped;
  }
  if (moof_waiting) return fail(msg::kMoofWithoutMdat);
  mp4::FragmentRunReader runs(segment, trex_, mp4::RunStrictness::kStrict);
  SampleBytesCheck check{media};
  for (const Box& box : boxes) {
    if (box.type != FourCC("moof") || box.clipped) continue;
    (void)PLEXO_TRY(runs.read(box, check));
    if (check.outside) return fail(msg::kRunPastMediaData);
  }
  if (boxes.back().clipped) return fail(msg::segment_cut_short(mp4::type_name(boxes.back().type)));
  return {};
}

void FragmentProcessor::reset() { bases_.clear(); }

Result<Buffer> FragmentProcessor::process_segment(ByteView segment) {
  Buffer out;
  out.vector().resize(segment.size());
  const Result<std::size_t> written = process_segment_into(segment, {out.data(), out.size()});
  if (!written) return Unexpected<Error>{written.error()};
  out.vector().resize(*written);
  return out;
}

Result<std::size_t> FragmentProcessor::process_segment_into(ByteView segment,
                                                          std::span<std::uint8_t> out, bool complete) {
  if (out.size() < segment.size()) return fail(msg::kSegmentOutputTooSmall);
  if (complete) PLEXO_CHECK(check_segment(segment));
  Result<std::size_t> written = rewrite(segment, out.first(segment.size()));
  // The lists hold views of this segment: forget them, and their memory with them.
  waiting_ = {};
  indexes_ = {};
  written_ = {};
  return written;
}

Result<std::size_t> FragmentProcessor::rewrite(ByteView segment, std::span<std::uint8_t> target) {
  // Box sizes never change and cut-short boxes are dropped, so the output never outgrows
  // the segment: it is written straight into the caller's memory.
  SpanWriter out(target);
  written_ = target;
  const Status walked = walk_boxes(segment, 0, [&](const Box& box, ByteView bytes) -> Status {
    if (box.type == FourCC("moof")) return copy_moof(bytes, out);
    // A segment index is rebased once the segment has shown where its track starts.
    if (box.type == FourCC("sidx")) indexes_.push_back({out.size() + kBoxHeader, box.payload});
    out.put(bytes);
    return {};
  });
  // The decode times met before a failure set the bases all the same.
  bases_.close_segment();
  if (!walked) return Unexpected<Error>{walked.error()};
  if (out.overrun()) return fail(msg::kSegmentOutputOverrun);

  for (const WaitingTime& waiting : waiting_)
    if (auto base = bases_.base_of(waiting.track))  // always, once the segment is closed
      waiting.spot.write(payload_in(waiting.payload_at), mp4::rebase(waiting.time, base->time));
  for (const SegmentIndexAt& index : indexes_) rebase_index(index);
  return out.size();
}

std::span<std::uint8_t> FragmentProcessor::payload_in(std::size_t at) const {
  return written_.subspan(at);
}

// The earliest presentation time moves back as far as its reference track's decode times
// did, counted in the index's timescale. A track whose timescale is unknown is taken to
// count in the index's; an index of a track without a base yet is left as it is.
void FragmentProcessor::rebase_index(const SegmentIndexAt& index) const {
  auto origin_of = [&](std::uint32_t reference_id) {
    mp4::TimelineOrigin origin;
    auto base = bases_.base_of(reference_id);
    if (!base) return origin;
    std::uint32_t timescale = base->timescale;
    if (timescale == 0) {
      auto read = mp4::SegmentIndex::read(index.payload);
      timescale = read ? read->timescale : 0;
    }
    origin.offer(base->time, timescale);
    return origin;
  };
  if (auto update = mp4::rebase_segment_index(index.payload, origin_of))
    update->spot.write(payload_in(index.payload_at), update->value);
}

// The header is kept as it came, even when a cut-short child is left out after it.
Status FragmentProcessor::copy_moof(ByteView moof, SpanWriter& out) {
  out.put(moof.first(kBoxHeader));
  return walk_boxes(moof, kBoxHeader, [&](const Box& box, ByteView bytes) -> Status {
    if (box.type == FourCC("traf")) return copy_traf(bytes, out);
    out.put(bytes);
    return {};
  });
}

Status FragmentProcessor::copy_traf(ByteView traf, SpanWriter& out) {
  const TrackKey track = traf_track(traf);
  out.put(traf.first(kBoxHeader));
  return walk_boxes(traf, kBoxHeader, [&](const Box& box, ByteView bytes) -> Status {
    if (box.type == FourCC("tfdt")) rebase_tfdt(box, bytes, track, out);
    else out.put(bytes);
    return {};
  });
}

// Version 1 carries a 64-bit time, any other version a 32-bit one; a box too short for its
// time is copied as it is. The new time keeps the width of the old, so no size changes.
void FragmentProcessor::rebase_tfdt(const mp4::Box& tfdt, ByteView bytes, TrackKey track,
                                    SpanWriter& out) {
  const std::size_t payload_at = out.size() + kBoxHeader;
  out.put(bytes);
  auto spot = mp4::TrackFragmentDecodeTime::decode_time_spot(tfdt.payload);
  if (!spot) return;
  const std::uint64_t time = spot->read(tfdt.payload);
  const TrackBases::Meeting meeting = bases_.meet(track, time);
  if (meeting.base) spot->write(payload_in(payload_at), mp4::rebase(time, *meeting.base));
  else waiting_.push_back({payload_at, *spot, meeting.waits_for, time});
}

}  // namespace plexo::fragment_processor
