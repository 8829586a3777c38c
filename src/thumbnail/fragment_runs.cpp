#include <vector>

#include "core/fragment_flags.hpp"
#include "thumbnail/key_frame.hpp"

namespace plexo::thumbnail {
namespace {

using namespace fragment_flags;

struct SampleDefaults {
  std::uint32_t track_id = 0;
  std::uint32_t size = 0;
  std::uint32_t flags = 0;
};

// trex of every track: track_ID, sample_description_index, duration, size, flags.
std::vector<SampleDefaults> read_trex(ByteView input, const BoxSpan& moov) {
  std::vector<SampleDefaults> defaults;
  auto mvex = child(input, moov, "mvex");
  if (!mvex) return defaults;
  for_each_child(input, *mvex, 0, [&](const BoxSpan& box) {
    if (FourCC::from(box.bytes.subspan(4, 4)) != FourCC("trex")) return true;
    auto id = load_u32(box.payload(), 4);
    auto size = load_u32(box.payload(), 16);
    auto flags = load_u32(box.payload(), 20);
    if (id && size && flags) defaults.push_back({*id, *size, *flags});
    return true;
  });
  return defaults;
}

struct TrackFragmentHeader {
  std::uint32_t track_id = 0;
  std::uint32_t flags = 0;
  std::optional<std::uint64_t> base_data_offset;
  SampleDefaults defaults;
};

std::optional<TrackFragmentHeader> read_tfhd(ByteView payload,
                                             const std::vector<SampleDefaults>& trex) {
  ByteReader reader(payload);
  auto version_flags = reader.read_u32();
  auto track_id = reader.read_u32();
  if (!version_flags || !track_id) return std::nullopt;
  TrackFragmentHeader header;
  header.track_id = *track_id;
  header.flags = *version_flags & 0xFFFFFF;
  for (const SampleDefaults& d : trex)
    if (d.track_id == *track_id) header.defaults = d;
  if (header.flags & kBaseDataOffsetPresent) {
    header.base_data_offset = reader.read_u64();
    if (!header.base_data_offset) return std::nullopt;
  }
  if ((header.flags & kSampleDescriptionIndexPresent) && !reader.skip(4)) return std::nullopt;
  if ((header.flags & kDefaultDurationPresent) && !reader.skip(4)) return std::nullopt;
  if (header.flags & kDefaultSizePresent) {
    auto size = reader.read_u32();
    if (!size) return std::nullopt;
    header.defaults.size = *size;
  }
  if (header.flags & kDefaultFlagsPresent) {
    auto flags = reader.read_u32();
    if (!flags) return std::nullopt;
    header.defaults.flags = *flags;
  }
  return header;
}

Unexpected<Error> invalid_fragment() { return fail("Invalid track fragment"); }

// Walks one trun from `position` (the end of the previous run, or the base). Sets `found` to
// the first key frame when `wanted`, and `position` to the end of the run's data.
Status walk_run(ByteView payload, const TrackFragmentHeader& tfhd, std::uint64_t base,
                bool wanted, std::uint64_t& position, std::optional<SampleSpan>& found) {
  ByteReader reader(payload);
  auto version_flags = reader.read_u32();
  auto sample_count = reader.read_u32();
  if (!version_flags || !sample_count) return invalid_fragment();
  const std::uint32_t flags = *version_flags & 0xFFFFFF;
  if (flags & kDataOffsetPresent) {
    auto data_offset = reader.read_u32();
    if (!data_offset) return invalid_fragment();
    const auto signed_offset = static_cast<std::int64_t>(static_cast<std::int32_t>(*data_offset));
    if (signed_offset >= 0) {
      auto start = checked_add(base, static_cast<std::uint64_t>(signed_offset));
      if (!start) return invalid_fragment();
      position = *start;
    } else {
      const auto back = static_cast<std::uint64_t>(-signed_offset);
      if (base < back) return invalid_fragment();
      position = base - back;
    }
  }
  std::optional<std::uint32_t> first_flags;
  if (flags & kFirstSampleFlagsPresent) {
    first_flags = reader.read_u32();
    if (!first_flags) return invalid_fragment();
  }
  const std::size_t entry_size = 4 * (((flags & kDurationPresent) != 0) +
                                      ((flags & kSizePresent) != 0) +
                                      ((flags & kFlagsPresent) != 0) +
                                      ((flags & kCompositionOffsetPresent) != 0));
  auto table_bytes = checked_mul(*sample_count, entry_size);
  if (!table_bytes || *table_bytes > reader.remaining()) return invalid_fragment();

  for (std::uint64_t i = 0; i < *sample_count; ++i) {
    if (flags & kDurationPresent) reader.skip(4);
    std::uint32_t size = tfhd.defaults.size;
    if (flags & kSizePresent) size = *reader.read_u32();
    std::uint32_t sample_flags = tfhd.defaults.flags;
    if (flags & kFlagsPresent) sample_flags = *reader.read_u32();
    if (flags & kCompositionOffsetPresent) reader.skip(4);
    if (i == 0 && first_flags) sample_flags = *first_flags;

    if (wanted && is_sync_sample(sample_flags)) {
      found = SampleSpan{position, size};
      return {};
    }
    auto next = checked_add(position, size);
    if (!next) return invalid_fragment();
    position = *next;
    // Without per-sample fields every later sample is like this one: skip them at once.
    if (entry_size == 0 && i >= 1) {
      auto rest = checked_mul(*sample_count - i - 1, size);
      auto end = rest ? checked_add(position, *rest) : std::nullopt;
      if (!end) return invalid_fragment();
      position = *end;
      break;
    }
  }
  return {};
}

}  // namespace

Result<std::optional<SampleSpan>> first_fragment_key_frame(ByteView input, const BoxSpan& moov,
                                                          std::uint32_t track_id) {
  const std::vector<SampleDefaults> trex = read_trex(input, moov);
  bool has_fragments = false;
  std::optional<SampleSpan> found;
  std::size_t at = 0;
  while (!found) {
    auto box = box_at(input, at);
    if (!box) break;
    at += box->bytes.size();
    if (FourCC::from(box->bytes.subspan(4, 4)) != FourCC("moof")) continue;
    has_fragments = true;

    // A traf without its own base starts where the previous one's data ended (the first at
    // the moof), unless it says the moof is its base.
    std::uint64_t previous_end = box->offset;
    Status status;
    for_each_child(input, *box, 0, [&](const BoxSpan& traf) {
      if (FourCC::from(traf.bytes.subspan(4, 4)) != FourCC("traf")) return true;
      auto tfhd_box = child(input, traf, "tfhd");
      auto tfhd = tfhd_box ? read_tfhd(tfhd_box->payload(), trex) : std::nullopt;
      if (!tfhd) {
        status = invalid_fragment();
        return false;
      }
      const std::uint64_t base = tfhd->base_data_offset ? *tfhd->base_data_offset
                                 : (tfhd->flags & kDefaultBaseIsMoof) ? box->offset
                                                                      : previous_end;
      std::uint64_t position = base;
      const bool wanted = tfhd->track_id == track_id;
      for_each_child(input, traf, 0, [&](const BoxSpan& run) {
        if (FourCC::from(run.bytes.subspan(4, 4)) != FourCC("trun")) return true;
        status = walk_run(run.payload(), *tfhd, base, wanted, position, found);
        return status && !found;
      });
      previous_end = position;
      return status && !found;
    });
    if (!status) return Unexpected<Error>{status.error()};
  }
  if (found) return found;
  if (has_fragments) return fail("No key frame found in video track");
  return std::optional<SampleSpan>{};
}

}  // namespace plexo::thumbnail
