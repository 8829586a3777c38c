#include "fragment_processor/fragment_processor.hpp"

#include "fragment_processor/box_walk.hpp"

namespace plexo::fragments {
namespace {

constexpr std::size_t kTfdtTime = 12;  // after the header and version/flags
constexpr std::size_t kTfhdTrackId = 12;

// The track a traf belongs to, from its tfhd. Read ahead of the rewriting walk so that a
// tfdt is matched with its track whatever the order of the traf's children.
TrackKey traf_track(ByteView traf) {
  TrackKey track = kNoTrackHeader;
  bool found = false;
  // A malformed child ends this look-ahead; the rewriting walk reports it.
  (void)walk_boxes(traf, kBoxHeader, [&](FourCC type, ByteView box) -> Status {
    if (!found && type == FourCC("tfhd")) {
      if (auto id = load_u32(box, kTfhdTrackId)) track = *id;
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
  PLEXO_CHECK(walk_boxes(segment, 0, [&](FourCC type, ByteView box) -> Status {
    if (type == FourCC("moof")) return copy_moof(box, out);
    out.put(box);
    return {};
  }));
  return out;
}

// The header is kept as it came, even when a cut-short child is left out after it.
Status FragmentProcessor::copy_moof(ByteView moof, Buffer& out) {
  out.put(moof.first(kBoxHeader));
  return walk_boxes(moof, kBoxHeader, [&](FourCC type, ByteView box) -> Status {
    if (type == FourCC("traf")) return copy_traf(box, out);
    out.put(box);
    return {};
  });
}

Status FragmentProcessor::copy_traf(ByteView traf, Buffer& out) {
  const TrackKey track = traf_track(traf);
  out.put(traf.first(kBoxHeader));
  return walk_boxes(traf, kBoxHeader, [&](FourCC type, ByteView box) -> Status {
    if (type == FourCC("tfdt")) {
      rebase_tfdt(box, track, out);
    } else {
      out.put(box);
    }
    return {};
  });
}

// Version 1 carries a 64-bit time, any other version a 32-bit one; a box too short for its
// time is copied as it is. The new time keeps the width of the old.
void FragmentProcessor::rebase_tfdt(ByteView tfdt, TrackKey track, Buffer& out) {
  const std::size_t at = out.size();
  out.put(tfdt);
  if (tfdt.size() < 16) return;
  if (tfdt[8] == 1) {
    if (tfdt.size() < 20) return;
    out.patch_u64(at + kTfdtTime, bases_.rebase(track, *load_u64(tfdt, kTfdtTime)));
  } else {
    out.patch_u32(at + kTfdtTime,
                  static_cast<std::uint32_t>(bases_.rebase(track, *load_u32(tfdt, kTfdtTime))));
  }
}

}  // namespace plexo::fragments
