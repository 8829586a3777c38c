// The movie, track and media headers of a rebuilt movie box, and the edit lists that keep
// tracks at their relative start.
#include "mp4_parser/movie_rebuild.hpp"

#include <algorithm>
#include <limits>
#include <unordered_map>

namespace plexo::mp4 {
namespace {

std::uint32_t cap32(std::uint64_t value) {
  return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
}

// A version-0 header written back with zero creation and modification times and the low 32
// bits of the new duration at `duration_at`; a header too short for them is copied unchanged.
Buffer patch_version0_header(ByteView p, std::size_t duration_at, std::uint64_t duration) {
  Buffer out;
  out.put(p);
  if (out.size() >= duration_at + 4) {
    out.patch_u64(4, 0);
    out.patch_u32(duration_at, static_cast<std::uint32_t>(duration));
  }
  return out;
}

// The start of a version-0 header made from a version-1 one: flags kept, times zero, then the
// 32-bit field (track ID or timescale) that version 1 holds at offset 20.
void put_version0_start(Buffer& out, ByteView version1) {
  out.put_u8(0);
  out.put_u24(*load_u24(version1, 1));
  out.put_u64(0);
  out.put_u32(*load_u32(version1, 20));
}

// Track header with a new duration; a version-1 header becomes version 0.
Buffer rewrite_tkhd(ByteView p, std::uint64_t duration) {
  Buffer out;
  if (is_version1(p) && p.size() >= 36) {
    put_version0_start(out, p);
    out.put_u32(0);
    out.put_u32(cap32(duration));
    if (p.size() >= 96) out.put(p.subspan(36, 60));
    else out.put_zeros(60);
    return out;
  }
  return patch_version0_header(p, 20, duration);
}

Buffer rewrite_mdhd(ByteView p, std::uint64_t duration) {
  Buffer out;
  if (is_version1(p) && p.size() >= 32) {
    put_version0_start(out, p);
    out.put_u32(cap32(duration));
    if (p.size() >= 36) out.put(p.subspan(32, 4));
    else out.put_u32(0);
    return out;
  }
  return patch_version0_header(p, 16, duration);
}

struct Edit {
  std::uint64_t segment_duration;
  std::int64_t media_time;  // -1: empty
  std::uint32_t rate;
};

// Entries of an input track's edit list; empty when it has none that can be read.
std::vector<Edit> read_edits(ByteView edts_payload) {
  std::vector<Edit> edits;
  auto children = parse_box_views(edts_payload);
  if (!children) return edits;
  const BoxView* elst = find_child(*children, "elst");
  if (!elst) return edits;
  ByteView p = elst->payload;
  bool v1 = is_version1(p);
  auto count = load_u32(p, 4);
  if (!count) return edits;
  std::size_t width = v1 ? 20 : 12;
  std::size_t at = 8;
  for (std::uint32_t i = 0; i < *count && at <= p.size() && p.size() - at >= width; ++i) {
    if (v1)
      edits.push_back({*load_u64(p, at), static_cast<std::int64_t>(*load_u64(p, at + 8)),
                       *load_u32(p, at + 16)});
    else
      edits.push_back({*load_u32(p, at),
                       static_cast<std::int32_t>(*load_u32(p, at + 4)), *load_u32(p, at + 8)});
    at += width;
  }
  return edits;
}

// An edit list that starts the track's media `delay` after the movie's start: an empty edit,
// then the track's own edits, or its whole media when it had none.
Buffer delayed_edits(const BoxView* own_edts, std::uint64_t delay, std::uint64_t duration) {
  std::vector<Edit> edits{{delay, -1, 0x00010000}};
  std::vector<Edit> own = own_edts ? read_edits(own_edts->payload) : std::vector<Edit>{};
  // The track's own leading empty edits are replaced by the new one.
  auto media = std::find_if(own.begin(), own.end(), [](const Edit& e) { return e.media_time != -1; });
  if (media == own.end()) edits.push_back({duration, 0, 0x00010000});
  else edits.insert(edits.end(), media, own.end());

  bool wide = false;
  for (const Edit& e : edits)
    wide |= e.segment_duration > 0xFFFFFFFFull || e.media_time > std::numeric_limits<std::int32_t>::max() ||
            e.media_time < std::numeric_limits<std::int32_t>::min();
  Buffer elst;
  elst.put_version_flags(wide ? 1 : 0, 0);
  elst.put_u32(static_cast<std::uint32_t>(edits.size()));
  for (const Edit& e : edits) {
    if (wide) {
      elst.put_u64(e.segment_duration);
      elst.put_u64(static_cast<std::uint64_t>(e.media_time));
    } else {
      elst.put_u32(static_cast<std::uint32_t>(e.segment_duration));
      elst.put_u32(static_cast<std::uint32_t>(e.media_time));
    }
    elst.put_u32(e.rate);
  }
  Buffer edts;
  write_box(edts, "elst", elst);
  return edts;
}

Result<Buffer> rebuild_minf(ByteView payload, const TrackRecord& track,
                            const TrakPlacement& placement) {
  auto children = PLEXO_TRY(parse_box_views(payload));
  Buffer out;
  for (const BoxView& child : children) {
    if (child.box_type == FourCC("stbl"))
      write_box(out, "stbl", sample_table(track, placement.chunk_offset, placement.wide_offsets));
    else
      write_box(out, child.box_type, child.payload);
  }
  return out;
}

Result<Buffer> rebuild_mdia(ByteView payload, const TrackRecord& track,
                            const TrakPlacement& placement) {
  auto children = PLEXO_TRY(parse_box_views(payload));
  const std::uint64_t duration = media_duration(track);
  Buffer out;
  for (const BoxView& child : children) {
    if (child.box_type == FourCC("mdhd"))
      write_box(out, "mdhd", rewrite_mdhd(child.payload, duration));
    else if (child.box_type == FourCC("minf"))
      write_box(out, "minf", PLEXO_TRY(rebuild_minf(child.payload, track, placement)));
    else
      write_box(out, child.box_type, child.payload);
  }
  return out;
}

std::uint32_t trak_track_id(const std::vector<BoxView>& children) {
  for (const BoxView& child : children) {
    if (child.box_type != FourCC("tkhd") || child.payload.size() < 12) continue;
    return load_u32(child.payload, is_version1(child.payload) ? 20 : 12).value_or(0);
  }
  return 0;
}

}  // namespace

std::uint64_t media_duration(const TrackRecord& track) {
  std::uint64_t sum = 0;
  for (const SampleRecord& s : track.samples) sum += s.duration;
  return sum;
}

std::uint64_t rescale(std::uint64_t duration, std::uint32_t from, std::uint32_t to) {
  if (from == 0 || from == to) return duration;
  unsigned __int128 scaled = static_cast<unsigned __int128>(duration) * to / from;
  return scaled > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                            : static_cast<std::uint64_t>(scaled);
}

std::uint32_t movie_timescale(ByteView moov_payload) {
  auto children = parse_box_views(moov_payload);
  if (!children) return 1000;
  const BoxView* mvhd = find_child(*children, "mvhd");
  if (!mvhd || mvhd->payload.size() < 16) return 1000;
  ByteView p = mvhd->payload;
  if (is_version1(p) && p.size() >= 24) return *load_u32(p, 20);
  return *load_u32(p, 12);
}

std::vector<std::uint64_t> start_delays(const std::vector<TrackRecord>& tracks,
                                        std::uint32_t timescale) {
  std::vector<std::uint64_t> delays(tracks.size(), 0);
  // The earliest start, compared exactly as time = decode_time / track timescale.
  const TrackRecord* earliest = nullptr;
  for (const TrackRecord& t : tracks) {
    if (!t.first_decode_time || t.timescale == 0 || t.samples.empty()) continue;
    if (!earliest || static_cast<unsigned __int128>(*t.first_decode_time) * earliest->timescale <
                         static_cast<unsigned __int128>(*earliest->first_decode_time) * t.timescale)
      earliest = &t;
  }
  if (!earliest) return delays;
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const TrackRecord& t = tracks[i];
    if (&t == earliest || !t.first_decode_time || t.timescale == 0 || t.samples.empty()) continue;
    // (t0 / ts - e0 / es) in movie units, over a common denominator.
    unsigned __int128 later = static_cast<unsigned __int128>(*t.first_decode_time) * earliest->timescale;
    unsigned __int128 first = static_cast<unsigned __int128>(*earliest->first_decode_time) * t.timescale;
    if (later <= first) continue;
    unsigned __int128 denominator = static_cast<unsigned __int128>(t.timescale) * earliest->timescale;
    unsigned __int128 delay = (later - first) / denominator * timescale +
                              (later - first) % denominator * timescale / denominator;
    delays[i] = delay > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                                  : static_cast<std::uint64_t>(delay);
  }
  return delays;
}

Buffer rewrite_mvhd(ByteView p, std::uint64_t duration) {
  if (p.size() >= 32 && is_version1(p)) {
    Buffer out;
    out.put_version_flags(0, 0);
    out.put_u64(0);
    out.put_u32(*load_u32(p, 20));
    out.put_u32(cap32(duration));
    out.put_u32(0x00010000);
    out.put_u16(0x0100);
    out.put_zeros(10);
    for (std::uint32_t v : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u}) out.put_u32(v);
    out.put_zeros(24);
    out.put_u32(p.size() >= 112 ? *load_u32(p, 108) : 3);
    return out;
  }
  return patch_version0_header(p, 16, duration);
}

Result<Buffer> rebuild_trak(ByteView trak_payload, const TrackRecord& track,
                            const TrakPlacement& placement) {
  auto children = PLEXO_TRY(parse_box_views(trak_payload));
  // The track header counts in the movie timescale and covers any leading empty edit.
  const std::uint64_t media_in_movie =
      rescale(media_duration(track), track.timescale, placement.movie_timescale);
  const std::uint64_t track_duration = media_in_movie + placement.start_delay;

  const BoxView* own_edts = find_child(children, "edts");
  bool edits_written = false;
  auto write_edits = [&](Buffer& out) {
    if (edits_written || placement.start_delay == 0) return;
    write_box(out, "edts", delayed_edits(own_edts, placement.start_delay, media_in_movie));
    edits_written = true;
  };

  Buffer out;
  for (const BoxView& child : children) {
    if (child.box_type == FourCC("tkhd")) {
      write_box(out, "tkhd", rewrite_tkhd(child.payload, track_duration));
      write_edits(out);
    } else if (child.box_type == FourCC("edts") && placement.start_delay != 0) {
      write_edits(out);
    } else if (child.box_type == FourCC("mdia")) {
      write_edits(out);
      write_box(out, "mdia", PLEXO_TRY(rebuild_mdia(child.payload, track, placement)));
    } else {
      write_box(out, child.box_type, child.payload);
    }
  }
  return out;
}

Result<Buffer> rebuild_moov(ByteView moov_payload, const std::vector<TrackRecord>& tracks,
                            const std::vector<std::uint64_t>& chunk_offsets,
                            const MovieOptions& options) {
  auto children = PLEXO_TRY(parse_box_views(moov_payload));
  const std::uint32_t timescale = movie_timescale(moov_payload);
  const std::vector<std::uint64_t> delays = start_delays(tracks, timescale);

  std::uint64_t movie_duration = 0;
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    std::uint64_t d = rescale(media_duration(tracks[i]), tracks[i].timescale, timescale);
    movie_duration = std::max(movie_duration, d + delays[i]);
  }

  std::unordered_map<std::uint32_t, std::size_t> index;  // the first track with each ID
  for (std::size_t i = 0; i < tracks.size(); ++i) index.emplace(tracks[i].track_id, i);

  Buffer out;
  for (const BoxView& child : children) {
    if (child.box_type == FourCC("mvhd")) {
      write_box(out, "mvhd", rewrite_mvhd(child.payload, movie_duration));
    } else if (child.box_type == FourCC("trak")) {
      auto trak_children = PLEXO_TRY(parse_box_views(child.payload));
      std::uint32_t track_id = trak_track_id(trak_children);
      auto found = index.find(track_id);
      if (found == index.end()) {
        write_box(out, "trak", child.payload);
        continue;
      }
      const std::size_t j = found->second;
      TrakPlacement placement;
      placement.chunk_offset = j < chunk_offsets.size() ? chunk_offsets[j] : kPlaceholderChunkOffset;
      placement.movie_timescale = timescale;
      placement.start_delay = delays[j];
      placement.wide_offsets = options.wide_offsets;
      write_box(out, "trak", PLEXO_TRY(rebuild_trak(child.payload, tracks[j], placement)));
    } else {
      write_box(out, child.box_type, child.payload);
    }
  }
  return out;
}

}  // namespace plexo::mp4
