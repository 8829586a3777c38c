#include "core/messages.hpp"
#include "mp4_parser/boxes.hpp"
#include "thumbnail/key_frame.hpp"
#include "thumbnail/video_track.hpp"

namespace plexo::thumbnail {
namespace {

using mp4::Box;

Unexpected<Error> invalid_tables() { return fail(msg::kInvalidSampleTable); }

}  // namespace

Result<std::optional<SampleSpan>> first_sync_sample(const mp4::SampleTableBoxes& tables) {
  const auto& stsz = tables.stsz;
  const auto& stsc = tables.stsc;
  const auto& stco = tables.stco;
  const auto& co64 = tables.co64;
  if (!stsz || !stsc || (!stco && !co64)) return std::optional<SampleSpan>{};

  auto header = mp4::SampleSizes::read_header(stsz->payload);
  if (header && header->sample_count == 0) return std::optional<SampleSpan>{};  // no samples
  auto sizes = mp4::SampleSizes::read(stsz->payload);
  if (!sizes) return invalid_tables();

  std::uint64_t wanted = 1;  // 1-based sample number
  if (const auto& stss = tables.stss) {
    auto sync = mp4::read_table(stss->payload, mp4::kSyncSamples);
    if (!sync) return invalid_tables();
    if (sync->count == 0) return fail(msg::kNoKeyFrame);
    wanted = sync->u32(0);
  }
  if (wanted == 0 || wanted > sizes->sample_count) return invalid_tables();

  auto chunks = stco ? mp4::read_table(stco->payload, mp4::kChunkOffsets)
                     : mp4::read_table(co64->payload, mp4::kLargeChunkOffsets);
  auto runs = mp4::read_table(stsc->payload, mp4::kSampleToChunk);
  if (!chunks || !runs) return invalid_tables();

  // stsc runs: first_chunk (1-based), samples_per_chunk, sample_description_index; a run
  // lasts until the next run's first chunk, the last one until the last chunk.
  std::uint64_t samples_before = 0;
  for (std::uint32_t r = 0; r < runs->count; ++r) {
    const std::uint64_t first_chunk = runs->u32(r, 0);
    const std::uint64_t per_chunk = runs->u32(r, 1);
    const std::uint64_t next_chunk =
        r + 1 < runs->count ? runs->u32(r + 1, 0) : std::uint64_t{chunks->count} + 1;
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
    const auto chunk_index = static_cast<std::uint32_t>(chunk - 1);
    const std::uint64_t chunk_offset = stco ? chunks->u32(chunk_index) : chunks->u64(chunk_index);
    // The samples ahead of it in its chunk: fewer than 2^32 sizes below 2^32 each.
    std::uint64_t ahead = 0;
    if (sizes->sizes) {
      for (std::uint64_t n = first_in_chunk; n < wanted; ++n)
        ahead += sizes->size_of(static_cast<std::uint32_t>(n - 1));
    } else {
      ahead = (wanted - first_in_chunk) * sizes->uniform_size;
    }
    auto offset = checked_add(chunk_offset, ahead);
    if (!offset) return invalid_tables();
    return std::optional<SampleSpan>{
        SampleSpan{*offset, sizes->size_of(static_cast<std::uint32_t>(wanted - 1))}};
  }
  return invalid_tables();
}

}  // namespace plexo::thumbnail
