#include "fragment_processor/fragment_processor.hpp"

#include "mp4_parser/box_cursor.hpp"
#include "mp4_parser/boxes.hpp"

namespace plexo::segments {
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

// The track a traf belongs to, from its tfhd. Read ahead of the rewriting walk so that a
// tfdt is matched with its track whatever the order of the traf's children.
TrackKey traf_track(ByteView traf) {
  TrackKey track = kNoTrackHeader;
  bool found = false;
  // A malformed child ends this look-ahead; the rewriting walk reports it.
  (void)walk_boxes(traf, kBoxHeader, [&](const Box& box, ByteView) -> Status {
    if (!found && box.type == FourCC("tfhd")) {
      if (auto header = mp4::TrackFragmentHeader::read(box.payload)) track = header->track_id;
      found = true;
    }
    return {};
  });
  return track;
}

}  // namespace

std::optional<std::uint64_t> FragmentProcessor::base_decode_time() const {
  return bases_.first();
}

void FragmentProcessor::set_init_segment(ByteView init) {
  init_segment_.assign(init.begin(), init.end());
}

void FragmentProcessor::reset() { bases_.clear(); }

Result<Buffer> FragmentProcessor::process_segment(ByteView segment) {
  Buffer out;
  // Box sizes never change and cut-short boxes are dropped, so the output never outgrows
  // the segment.
  out.reserve(segment.size());
  PLEXO_CHECK(walk_boxes(segment, 0, [&](const Box& box, ByteView bytes) -> Status {
    if (box.type == FourCC("moof")) return copy_moof(bytes, out);
    out.put(bytes);
    return {};
  }));
  return out;
}

// The header is kept as it came, even when a cut-short child is left out after it.
Status FragmentProcessor::copy_moof(ByteView moof, Buffer& out) {
  out.put(moof.first(kBoxHeader));
  return walk_boxes(moof, kBoxHeader, [&](const Box& box, ByteView bytes) -> Status {
    if (box.type == FourCC("traf")) return copy_traf(bytes, out);
    out.put(bytes);
    return {};
  });
}

Status FragmentProcessor::copy_traf(ByteView traf, Buffer& out) {
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
                                    Buffer& out) {
  const std::size_t at = out.size() + kBoxHeader + 4;  // after the header, version and flags
  out.put(bytes);
  auto time = mp4::TrackFragmentDecodeTime::read(tfdt.payload);
  if (!time) return;
  const std::uint64_t rebased = bases_.rebase(track, time->decode_time);
  if (mp4::is_version1(tfdt.payload)) out.patch_u64(at, rebased);
  else out.patch_u32(at, static_cast<std::uint32_t>(rebased));
}

}  // namespace plexo::segments
