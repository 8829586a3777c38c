// Pieces shared by both tracks of the movie box, written in place into the output.
#pragma once

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "core/buffer.hpp"

namespace plexo::mp4w {

inline constexpr std::uint16_t kLanguageUndetermined = 0x55C4;  // packed "und"
inline constexpr std::uint32_t kTrackEnabledInMovieInPreview = 0x000007;

inline bool fits_u32(std::uint64_t v) { return v <= std::numeric_limits<std::uint32_t>::max(); }

inline std::size_t begin_full_box(Buffer& out, FourCC type, std::uint8_t version,
                                  std::uint32_t flags) {
  std::size_t start = out.begin_box(type);
  out.put_version_flags(version, flags);
  return start;
}

inline void put_unity_matrix(Buffer& out) {
  for (std::uint32_t v : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u})
    out.put_u32(v);
}

// creation_time, modification_time (both 0) in the width the version asks for.
inline void put_zero_times(Buffer& out, std::uint8_t version) {
  out.put_zeros(version == 1 ? 16 : 8);
}

inline void put_duration(Buffer& out, std::uint8_t version, std::uint64_t duration) {
  if (version == 1)
    out.put_u64(duration);
  else
    out.put_u32(static_cast<std::uint32_t>(duration));
}

inline void write_mdhd(Buffer& out, std::uint32_t timescale, std::uint64_t duration) {
  const std::uint8_t version = fits_u32(duration) ? 0 : 1;
  auto box = begin_full_box(out, "mdhd", version, 0);
  put_zero_times(out, version);
  out.put_u32(timescale);
  put_duration(out, version, duration);
  out.put_u16(kLanguageUndetermined);
  out.put_u16(0);
  out.end_box(box);
}

inline void write_hdlr(Buffer& out, FourCC handler) {
  auto box = begin_full_box(out, "hdlr", 0, 0);
  out.put_u32(0);  // pre_defined
  out.put_fourcc(handler);
  out.put_zeros(12);
  out.put_u8(0);  // empty name
  out.end_box(box);
}

// One data reference: the media is in this file.
inline void write_dinf(Buffer& out) {
  auto dinf = out.begin_box("dinf");
  auto dref = begin_full_box(out, "dref", 0, 0);
  out.put_u32(1);
  auto url = begin_full_box(out, "url ", 0, 1);
  out.end_box(url);
  out.end_box(dref);
  out.end_box(dinf);
}

// tkhd with the fields that differ between the tracks as arguments.
inline void write_tkhd(Buffer& out, std::uint32_t track_id, std::uint64_t duration,
                       std::uint16_t volume, std::uint16_t width, std::uint16_t height) {
  const std::uint8_t version = fits_u32(duration) ? 0 : 1;
  auto box = begin_full_box(out, "tkhd", version, kTrackEnabledInMovieInPreview);
  put_zero_times(out, version);
  out.put_u32(track_id);
  out.put_u32(0);
  put_duration(out, version, duration);
  out.put_zeros(8);
  out.put_u16(0);  // layer
  out.put_u16(0);  // alternate_group
  out.put_u16(volume);
  out.put_u16(0);
  put_unity_matrix(out);
  out.put_u32(std::uint32_t{width} << 16);
  out.put_u32(std::uint32_t{height} << 16);
  out.end_box(box);
}

// stsc for one chunk holding every sample.
inline void write_single_chunk_stsc(Buffer& out, std::uint32_t sample_count) {
  auto box = begin_full_box(out, "stsc", 0, 0);
  out.put_u32(1);
  out.put_u32(1);
  out.put_u32(sample_count);
  out.put_u32(1);
  out.end_box(box);
}

// stco (or co64) with one chunk whose offset is known only once the movie box is complete;
// returns where the offset goes.
inline std::size_t write_chunk_offset_placeholder(Buffer& out, bool large_offsets) {
  auto box = begin_full_box(out, large_offsets ? FourCC("co64") : FourCC("stco"), 0, 0);
  out.put_u32(1);
  std::size_t slot = out.size();
  if (large_offsets)
    out.put_u64(0);
  else
    out.put_u32(0);
  out.end_box(box);
  return slot;
}

inline void write_single_entry_stts(Buffer& out, std::uint32_t sample_count, std::uint32_t delta) {
  auto box = begin_full_box(out, "stts", 0, 0);
  out.put_u32(1);
  out.put_u32(sample_count);
  out.put_u32(delta);
  out.end_box(box);
}

// stts from one duration per sample, as runs of equal durations.
inline void write_stts_runs(Buffer& out, const std::vector<std::uint32_t>& durations) {
  auto box = begin_full_box(out, "stts", 0, 0);
  const std::size_t count_at = out.size();
  out.put_u32(0);
  std::uint32_t entries = 0;
  for (std::size_t i = 0; i < durations.size();) {
    std::size_t j = i + 1;
    while (j < durations.size() && durations[j] == durations[i]) ++j;
    out.put_u32(static_cast<std::uint32_t>(j - i));
    out.put_u32(durations[i]);
    ++entries;
    i = j;
  }
  out.patch_u32(count_at, entries);
  out.end_box(box);
}

// An edit list that holds the track back by `delay` (an empty edit), then presents its media
// from the start for `media_duration`; both in the movie timescale.
inline void write_delay_edts(Buffer& out, std::uint64_t delay, std::uint64_t media_duration) {
  const bool wide = !fits_u32(delay) || !fits_u32(media_duration);
  auto edts = out.begin_box("edts");
  auto elst = begin_full_box(out, "elst", wide ? 1 : 0, 0);
  out.put_u32(2);
  for (auto [duration, media_time] : {std::pair<std::uint64_t, std::int64_t>{delay, -1},
                                      std::pair<std::uint64_t, std::int64_t>{media_duration, 0}}) {
    if (wide) {
      out.put_u64(duration);
      out.put_u64(static_cast<std::uint64_t>(media_time));
    } else {
      out.put_u32(static_cast<std::uint32_t>(duration));
      out.put_u32(static_cast<std::uint32_t>(media_time));
    }
    out.put_u16(1);  // media_rate_integer
    out.put_u16(0);
  }
  out.end_box(elst);
  out.end_box(edts);
}

}  // namespace plexo::mp4w
