#include "thumbnail/key_frame.hpp"

namespace plexo::thumbnail {
namespace {

// A full box's entry table: entry_count at `count_at` of the payload, entries after it.
struct Table {
  ByteView entries;
  std::uint32_t count = 0;
};

std::optional<Table> read_table(ByteView payload, std::size_t count_at, std::size_t entry_size) {
  auto count = load_u32(payload, count_at);
  if (!count) return std::nullopt;
  auto bytes = checked_mul(*count, entry_size);
  if (!bytes) return std::nullopt;
  auto entries = slice(payload, count_at + 4, *bytes);
  if (!entries) return std::nullopt;
  return Table{*entries, *count};
}

Unexpected<Error> invalid_tables() { return fail("Invalid sample table"); }

}  // namespace

Result<std::optional<SampleSpan>> first_sync_sample(ByteView input, const BoxSpan& stbl) {
  auto stsz = child(input, stbl, "stsz");
  auto stsc = child(input, stbl, "stsc");
  auto stco = child(input, stbl, "stco");
  auto co64 = child(input, stbl, "co64");
  if (!stsz || !stsc || (!stco && !co64)) return std::optional<SampleSpan>{};

  // stsz: version/flags, sample_size, sample_count, then one size per sample when
  // sample_size is 0.
  auto uniform_size = load_u32(stsz->payload(), 4);
  auto sample_count = load_u32(stsz->payload(), 8);
  if (!uniform_size || !sample_count) return invalid_tables();
  if (*sample_count == 0) return std::optional<SampleSpan>{};
  std::optional<Table> sizes;
  if (*uniform_size == 0) {
    sizes = read_table(stsz->payload(), 8, 4);
    if (!sizes) return invalid_tables();
  }
  auto size_of = [&](std::uint64_t number) -> std::uint64_t {  // 1-based
    return sizes ? *load_u32(sizes->entries, (number - 1) * 4) : *uniform_size;
  };

  std::uint64_t wanted = 1;
  if (auto stss = child(input, stbl, "stss")) {
    auto sync = read_table(stss->payload(), 4, 4);
    if (!sync) return invalid_tables();
    if (sync->count == 0) return fail("No key frame found in video track");
    wanted = *load_u32(sync->entries, 0);
  }
  if (wanted == 0 || wanted > *sample_count) return invalid_tables();

  const std::size_t offset_width = stco ? 4 : 8;
  auto chunks = read_table((stco ? stco : co64)->payload(), 4, offset_width);
  auto runs = read_table(stsc->payload(), 4, 12);
  if (!chunks || !runs) return invalid_tables();

  // stsc runs: first_chunk (1-based), samples_per_chunk, sample_description_index; a run
  // lasts until the next run's first chunk, the last one until the last chunk.
  std::uint64_t samples_before = 0;
  for (std::uint32_t r = 0; r < runs->count; ++r) {
    const std::uint64_t first_chunk = *load_u32(runs->entries, r * 12);
    const std::uint64_t per_chunk = *load_u32(runs->entries, r * 12 + 4);
    const std::uint64_t next_chunk = r + 1 < runs->count
                                         ? *load_u32(runs->entries, (r + 1) * 12)
                                         : std::uint64_t{chunks->count} + 1;
    if (first_chunk == 0 || next_chunk <= first_chunk) return invalid_tables();
    if (per_chunk == 0) continue;
    const std::uint64_t in_run = (next_chunk - first_chunk) * per_chunk;  // < 2^64: 32 x 32 bits
    if (wanted - samples_before > in_run) {  // samples_before < wanted throughout
      samples_before += in_run;
      continue;
    }
    const std::uint64_t index = wanted - samples_before - 1;  // 0-based within the run
    const std::uint64_t chunk = first_chunk + index / per_chunk;
    const std::uint64_t first_in_chunk = wanted - index % per_chunk;
    if (chunk > chunks->count) return invalid_tables();
    const std::uint64_t chunk_offset =
        offset_width == 4 ? std::uint64_t{*load_u32(chunks->entries, (chunk - 1) * 4)}
                          : *load_u64(chunks->entries, (chunk - 1) * 8);
    // The samples ahead of it in its chunk: fewer than 2^32 sizes below 2^32 each.
    std::uint64_t ahead = 0;
    if (sizes) {
      for (std::uint64_t n = first_in_chunk; n < wanted; ++n) ahead += size_of(n);
    } else {
      ahead = (wanted - first_in_chunk) * *uniform_size;
    }
    auto offset = checked_add(chunk_offset, ahead);
    if (!offset) return invalid_tables();
    return std::optional<SampleSpan>{SampleSpan{*offset, size_of(wanted)}};
  }
  return invalid_tables();
}

}  // namespace plexo::thumbnail
