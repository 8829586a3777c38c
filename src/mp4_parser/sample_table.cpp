// Complete sample tables for a track whose samples lie one after another from one offset,
// each sample a chunk of its own.
#include <algorithm>

#include "mp4_parser/movie_rebuild.hpp"

namespace plexo::mp4 {
namespace {

// Opens a full box of version 0; closed by close_box.
std::size_t open_table(Buffer& out, FourCC type) {
  std::size_t start = out.begin_box(type);
  out.put_version_flags(0, 0);
  return start;
}

void close_box(Buffer& out, std::size_t start) { out.end_box(start); }

// A table of runs of consecutive samples whose `field` is equal: (run length, value) each.
template <class Field>
void put_runs(Buffer& out, FourCC type, const std::vector<SampleRecord>& samples, Field field) {
  std::size_t box = open_table(out, type);
  std::size_t count_at = out.size();
  out.put_u32(0);
  std::uint32_t entries = 0;
  for (std::size_t i = 0; i < samples.size();) {
    std::size_t j = i + 1;
    while (j < samples.size() && field(samples[j]) == field(samples[i])) ++j;
    out.put_u32(static_cast<std::uint32_t>(j - i));
    out.put_u32(field(samples[i]));
    ++entries;
    i = j;
  }
  out.patch_u32(count_at, entries);
  close_box(out, box);
}

// Offsets are written unsigned: when a run gave negative ones, all are raised by the most
// negative, which keeps every sample's presentation order and spacing and puts the earliest
// presentation at or after its decode time, as readers present signed offsets anyway.
void put_composition_offsets(Buffer& out, const std::vector<SampleRecord>& samples) {
  bool any = false;
  std::int64_t lowest = 0;
  for (const SampleRecord& s : samples) {
    any |= s.composition_offset != 0;
    lowest = std::min<std::int64_t>(lowest, static_cast<std::int32_t>(s.composition_offset));
  }
  if (!any) return;
  const auto shift = static_cast<std::uint32_t>(-lowest);
  put_runs(out, "ctts", samples,
           [shift](const SampleRecord& s) { return s.composition_offset + shift; });
}

// Without a sync sample table every sample counts as a sync sample, so a track none of whose
// samples is one gets an empty table rather than none.
void put_sync_samples(Buffer& out, const std::vector<SampleRecord>& samples) {
  std::uint32_t sync = 0;
  for (const SampleRecord& s : samples) sync += is_sync_sample(s.flags);
  if (samples.empty()) return;
  std::size_t box = open_table(out, "stss");
  out.put_u32(sync);
  for (std::size_t i = 0; i < samples.size(); ++i)
    if (is_sync_sample(samples[i].flags)) out.put_u32(static_cast<std::uint32_t>(i + 1));
  close_box(out, box);
}

}  // namespace

Buffer sample_table(const TrackRecord& track, std::uint64_t chunk_offset, bool wide_offsets) {
  const auto& samples = track.samples;
  const auto count = static_cast<std::uint32_t>(samples.size());
  Buffer out;
  out.reserve(64 + track.stsd.size() + samples.size() * (wide_offsets ? 12 : 8) + 64);
  if (!track.stsd.empty()) write_box(out, "stsd", track.stsd);
  put_runs(out, "stts", samples, [](const SampleRecord& s) { return s.duration; });

  std::size_t box = open_table(out, "stsc");
  out.put_u32(1);
  out.put_u32(1);
  out.put_u32(1);
  out.put_u32(1);
  close_box(out, box);

  box = open_table(out, "stsz");
  out.put_u32(0);
  out.put_u32(count);
  for (const SampleRecord& s : samples) out.put_u32(s.size);
  close_box(out, box);

  box = open_table(out, wide_offsets ? FourCC("co64") : FourCC("stco"));
  out.put_u32(count);
  std::uint64_t offset = chunk_offset;
  for (const SampleRecord& s : samples) {
    if (wide_offsets) out.put_u64(offset);
    else out.put_u32(static_cast<std::uint32_t>(offset));
    offset += s.size;
  }
  close_box(out, box);

  put_composition_offsets(out, samples);
  put_sync_samples(out, samples);
  return out;
}

}  // namespace plexo::mp4
