#include "mp4_parser/boxes.hpp"

#include <bit>

namespace plexo::mp4 {
namespace {

// Reads a version-dependent time: 64 bits in version 1, 32 bits otherwise.
std::optional<std::uint64_t> read_time(ByteReader& r, bool v1) {
  if (v1) return r.read_u64();
  auto v = r.read_u32();
  if (!v) return std::nullopt;
  return *v;
}

std::optional<Matrix> read_matrix(ByteReader& r) {
  Matrix m;
  for (std::uint32_t& v : m) {
    auto read = r.read_u32();
    if (!read) return std::nullopt;
    v = *read;
  }
  return m;
}

// The version/flags, then creation and modification time, then `before_duration` bytes of
// 32-bit fields (timescale, or track_ID and a reserved word), then the duration.
std::optional<HeaderTimeSpots> header_time_spots(ByteView payload, std::size_t before_duration,
                                                 bool has_timescale) {
  const std::uint8_t width = is_version1(payload) ? 8 : 4;
  const std::size_t duration_at = 4 + 2 * width + before_duration;
  if (payload.size() < duration_at + width) return std::nullopt;
  HeaderTimeSpots spots;
  spots.creation_time = {4, width};
  spots.modification_time = {4u + width, width};
  spots.duration = {duration_at, width};
  if (has_timescale) spots.timescale = FieldSpot{4u + 2u * width, 4};
  return spots;
}

std::uint8_t version_for(std::initializer_list<std::uint64_t> values) {
  for (std::uint64_t v : values)
    if (!fits_u32(v)) return 1;
  return 0;
}

}  // namespace

// Every field below is read from a payload checked to hold the whole box first, so no read
// can fail part-way.
std::optional<MovieHeader> MovieHeader::read(ByteView payload) {
  ByteReader r(payload);
  const bool v1 = is_version1(payload);
  if (payload.size() < (v1 ? 112u : 100u)) return std::nullopt;
  MovieHeader h;
  if (!r.skip(4)) return std::nullopt;
  auto created = read_time(r, v1);
  auto modified = read_time(r, v1);
  auto timescale = r.read_u32();
  auto duration = read_time(r, v1);
  auto rate = r.read_u32();
  auto volume = r.read_u16();
  if (!duration || !rate || !volume || !r.skip(10)) return std::nullopt;
  auto matrix = read_matrix(r);
  if (!matrix || !r.skip(24)) return std::nullopt;
  auto next = r.read_u32();
  if (!next) return std::nullopt;
  h.creation_time = *created;
  h.modification_time = *modified;
  h.timescale = *timescale;
  h.duration = *duration;
  h.rate = *rate;
  h.volume = *volume;
  h.matrix = *matrix;
  h.next_track_id = *next;
  return h;
}
std::uint8_t MovieHeader::version() const {
  return version_for({creation_time, modification_time, duration});
}
std::optional<HeaderTimeSpots> MovieHeader::time_spots(ByteView payload) {
  return header_time_spots(payload, 4, true);
}
std::uint64_t MovieHeader::payload_size() const { return version() == 1 ? 112 : 100; }

std::optional<TrackHeader> TrackHeader::read(ByteView payload) {
  ByteReader r(payload);
  const bool v1 = is_version1(payload);
  if (payload.size() < (v1 ? 96u : 84u)) return std::nullopt;
  TrackHeader h;
  h.flags = full_box_flags(payload);
  if (!r.skip(4)) return std::nullopt;
  auto created = read_time(r, v1);
  auto modified = read_time(r, v1);
  auto track_id = r.read_u32();
  if (!r.skip(4)) return std::nullopt;
  auto duration = read_time(r, v1);
  if (!duration || !r.skip(8)) return std::nullopt;
  auto layer = r.read_u16();
  auto group = r.read_u16();
  auto volume = r.read_u16();
  if (!volume || !r.skip(2)) return std::nullopt;
  auto matrix = read_matrix(r);
  if (!matrix) return std::nullopt;
  auto width = r.read_u32();
  auto height = r.read_u32();
  if (!height) return std::nullopt;
  h.creation_time = *created;
  h.modification_time = *modified;
  h.track_id = *track_id;
  h.duration = *duration;
  h.layer = *layer;
  h.alternate_group = *group;
  h.volume = *volume;
  h.matrix = *matrix;
  h.width = *width;
  h.height = *height;
  return h;
}
std::uint8_t TrackHeader::version() const {
  return version_for({creation_time, modification_time, duration});
}
std::optional<HeaderTimeSpots> TrackHeader::time_spots(ByteView payload) {
  return header_time_spots(payload, 8, false);
}
std::uint64_t TrackHeader::payload_size() const { return version() == 1 ? 96 : 84; }

std::optional<std::uint32_t> read_track_id(ByteView p) {
  return load_u32(p, is_version1(p) ? 20 : 12);
}

std::optional<MediaHeader> MediaHeader::read(ByteView payload) {
  ByteReader r(payload);
  const bool v1 = is_version1(payload);
  if (payload.size() < (v1 ? 34u : 22u)) return std::nullopt;  // up to the language
  MediaHeader h;
  if (!r.skip(4)) return std::nullopt;
  auto created = read_time(r, v1);
  auto modified = read_time(r, v1);
  auto timescale = r.read_u32();
  auto duration = read_time(r, v1);
  auto language = r.read_u16();
  if (!language) return std::nullopt;
  h.creation_time = *created;
  h.modification_time = *modified;
  h.timescale = *timescale;
  h.duration = *duration;
  h.language = *language;
  return h;
}
std::uint8_t MediaHeader::version() const {
  return version_for({creation_time, modification_time, duration});
}
std::optional<HeaderTimeSpots> MediaHeader::time_spots(ByteView payload) {
  return header_time_spots(payload, 4, true);
}
std::uint64_t MediaHeader::payload_size() const { return version() == 1 ? 36 : 24; }

std::optional<HandlerBox> HandlerBox::read(ByteView payload) {
  auto type = slice(payload, 8, 4);
  if (!type) return std::nullopt;
  return HandlerBox{FourCC::from(*type), payload.size() > 24 ? payload.subspan(24) : ByteView{}};
}
std::uint64_t HandlerBox::payload_size() const { return 24 + (name.empty() ? 1 : name.size()); }

std::optional<EditList> EditList::read(ByteView payload) {
  ByteReader r(payload);
  const bool v1 = is_version1(payload);
  if (!r.skip(4)) return std::nullopt;
  auto count = r.read_u32();
  if (!count) return std::nullopt;
  EditList list;
  const std::size_t width = v1 ? 20 : 12;
  for (std::uint32_t i = 0; i < *count && r.remaining() >= width; ++i) {
    EditEntry e;
    if (v1) {
      e.segment_duration = *r.read_u64();
      e.media_time = static_cast<std::int64_t>(*r.read_u64());
    } else {
      e.segment_duration = *r.read_u32();
      e.media_time = static_cast<std::int32_t>(*r.read_u32());
    }
    e.rate_integer = static_cast<std::int16_t>(*r.read_u16());
    e.rate_fraction = static_cast<std::int16_t>(*r.read_u16());
    list.entries.push_back(e);
  }
  return list;
}
std::uint8_t EditList::version() const {
  for (const EditEntry& e : entries)
    if (!fits_u32(e.segment_duration) || !fits_i32(e.media_time)) return 1;
  return 0;
}
std::uint64_t EditList::payload_size() const {
  return 8 + entries.size() * (version() == 1 ? 20 : 12);
}

std::optional<TrackFragmentHeader> TrackFragmentHeader::read(ByteView p) {
  using namespace tfhd_flags;
  if (p.size() < 8) return std::nullopt;
  TrackFragmentHeader h;
  h.flags = full_box_flags(p);
  h.track_id = *load_u32(p, 4);
  std::size_t at = 8;
  if (h.flags & kBaseDataOffsetPresent) {
    h.base_data_offset = load_u64(p, at);
    h.complete &= h.base_data_offset.has_value();
    at += 8;
  }
  if (h.flags & kSampleDescriptionIndexPresent) {
    h.sample_description_index = load_u32(p, at);
    h.complete &= h.sample_description_index.has_value();
    at += 4;
  }
  // A default that does not fit is not read and takes no room.
  auto field = [&](std::uint32_t flag, std::optional<std::uint32_t>& value) {
    if (!(h.flags & flag)) return;
    value = load_u32(p, at);
    if (value) at += 4;
    else h.complete = false;
  };
  field(kDefaultDurationPresent, h.default_duration);
  field(kDefaultSizePresent, h.default_size);
  field(kDefaultFlagsPresent, h.default_flags);
  return h;
}
std::uint64_t TrackFragmentHeader::payload_size() const {
  return 8 + (base_data_offset ? 8 : 0) + (sample_description_index ? 4 : 0) +
         (default_duration ? 4 : 0) + (default_size ? 4 : 0) + (default_flags ? 4 : 0);
}

std::optional<TrackFragmentDecodeTime> TrackFragmentDecodeTime::read(ByteView p) {
  if (is_version1(p)) {
    auto t = load_u64(p, 4);
    if (!t) return std::nullopt;
    return TrackFragmentDecodeTime{*t};
  }
  auto t = load_u32(p, 4);
  if (!t) return std::nullopt;
  return TrackFragmentDecodeTime{*t};
}

std::optional<FieldSpot> TrackFragmentDecodeTime::decode_time_spot(ByteView p) {
  const FieldSpot spot{4, static_cast<std::uint8_t>(is_version1(p) ? 8 : 4)};
  if (p.size() < spot.at + spot.width) return std::nullopt;
  return spot;
}

std::optional<TrackRun> TrackRun::read(ByteView p) {
  using namespace trun_flags;
  if (p.size() < 8) return std::nullopt;
  TrackRun run;
  run.version = p[0];
  run.flags = full_box_flags(p);
  run.sample_count = *load_u32(p, 4);
  std::size_t at = 8;
  if (run.flags & kDataOffsetPresent) {
    if (auto offset = load_u32(p, 8)) run.data_offset = static_cast<std::int32_t>(*offset);
    else run.complete = false;
    at = 12;
  }
  if (run.flags & kFirstSampleFlagsPresent) {
    run.first_sample_flags = load_u32(p, at);
    run.complete &= run.first_sample_flags.has_value();
    at += 4;
  }
  run.entry_width = 4u * static_cast<std::size_t>(std::popcount(run.flags & 0xF00u));
  run.entries = at <= p.size() ? p.subspan(at) : ByteView{};
  auto table = checked_mul(run.sample_count, run.entry_width);
  run.complete &= table && *table <= run.entries.size();
  return run;
}

TrackRunEntry TrackRun::entry(std::uint32_t i, const TrackRunEntry& defaults) const {
  using namespace trun_flags;
  TrackRunEntry e = defaults;
  e.composition_offset = 0;
  if (entry_width == 0) return e;
  std::uint64_t at = static_cast<std::uint64_t>(i) * entry_width;
  auto field = [&](std::uint32_t flag, std::uint32_t& value) {
    if (!(flags & flag)) return;
    if (at < entries.size())
      if (auto read = load_u32(entries, static_cast<std::size_t>(at))) value = *read;
    at += 4;
  };
  field(kDurationPresent, e.duration);
  field(kSizePresent, e.size);
  field(kFlagsPresent, e.flags);
  field(kCompositionOffsetPresent, e.composition_offset);
  return e;
}

std::uint64_t TrackRun::payload_size() const {
  using namespace trun_flags;
  return 8 + (data_offset ? 4 : 0) + (first_sample_flags ? 4 : 0) +
         std::uint64_t{sample_count} * 4u * static_cast<std::uint64_t>(std::popcount(flags & 0xF00u));
}

std::optional<TrackExtends> TrackExtends::read(ByteView p) {
  if (p.size() < 24) return std::nullopt;
  return TrackExtends{*load_u32(p, 4), *load_u32(p, 8), *load_u32(p, 12), *load_u32(p, 16),
                      *load_u32(p, 20)};
}

std::optional<SegmentIndex> SegmentIndex::read(ByteView payload) {
  ByteReader r(payload);
  const bool v1 = is_version1(payload);
  if (payload.size() < (v1 ? 32u : 24u)) return std::nullopt;  // up to the reference count
  if (!r.skip(4)) return std::nullopt;
  SegmentIndex s;
  auto id = r.read_u32();
  auto timescale = r.read_u32();
  auto earliest = read_time(r, v1);
  auto first = read_time(r, v1);
  if (!first || !r.skip(2)) return std::nullopt;
  auto count = r.read_u16();
  if (!count || r.remaining() < std::size_t{*count} * 12) return std::nullopt;
  s.reference_id = *id;
  s.timescale = *timescale;
  s.earliest_presentation_time = *earliest;
  s.first_offset = *first;
  s.references.reserve(*count);
  for (std::uint16_t i = 0; i < *count; ++i) {
    const std::uint32_t a = *r.read_u32(), b = *r.read_u32(), c = *r.read_u32();
    s.references.push_back({(a >> 31) != 0, a & 0x7FFFFFFF, b, (c >> 31) != 0,
                            static_cast<std::uint8_t>((c >> 28) & 7), c & 0x0FFFFFFF});
  }
  return s;
}
std::optional<FieldSpot> SegmentIndex::earliest_presentation_time_spot(ByteView p) {
  const FieldSpot spot{12, static_cast<std::uint8_t>(is_version1(p) ? 8 : 4)};
  if (p.size() < spot.at + spot.width) return std::nullopt;
  return spot;
}
std::uint8_t SegmentIndex::version() const {
  return version_for({earliest_presentation_time, first_offset});
}
std::uint64_t SegmentIndex::payload_size() const {
  return 4 + 8 + (version() == 1 ? 16 : 8) + 4 + references.size() * 12;
}

std::optional<TableView> read_table(ByteView payload, const TableLayout& layout) {
  const std::size_t count_at = layout.header_fields;  // after version/flags: 4 + fields - 4
  auto count = load_u32(payload, count_at);
  if (!count) return std::nullopt;
  auto bytes = checked_mul(*count, layout.entry_width);
  if (!bytes) return std::nullopt;
  auto entries = slice(payload, count_at + 4, *bytes);
  if (!entries) return std::nullopt;
  return TableView{*count, *entries, layout.entry_width, payload[0]};
}

std::optional<SampleSizes> SampleSizes::read_header(ByteView payload) {
  auto uniform = load_u32(payload, 4);
  auto count = load_u32(payload, 8);
  if (!uniform || !count) return std::nullopt;
  return SampleSizes{*uniform, *count, std::nullopt};
}

std::optional<std::uint32_t> SampleSizes::first_size(ByteView payload) {
  auto header = read_header(payload);
  if (!header) return std::nullopt;
  if (header->uniform_size != 0) return header->uniform_size;
  return load_u32(payload, kSampleSizes.header_fields + 4);
}

std::optional<SampleSizes> SampleSizes::read(ByteView payload) {
  auto header = read_header(payload);
  if (!header) return std::nullopt;
  SampleSizes s = *header;
  if (s.uniform_size == 0) {
    s.sizes = read_table(payload, kSampleSizes);
    if (!s.sizes) return std::nullopt;
  }
  return s;
}

}  // namespace plexo::mp4
