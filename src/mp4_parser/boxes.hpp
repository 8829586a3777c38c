// Typed full boxes: each box's fields named once, read from a payload once and written once.
// Readers take a box's payload (version and flags first) and return nothing when it is too
// short for the fields its version holds; a version byte of 1 means version 1, any other
// value version 0. Writers take a Buffer or a SpanWriter (`Sink`) and append the whole box,
// header included; `payload_size()` is what they will write after the header. Headers with
// times and durations are written in version 1 exactly when a value needs 64 bits, so no
// value is ever truncated.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/bytes.hpp"
#include "mp4_parser/box_cursor.hpp"

namespace plexo::mp4 {

inline constexpr bool fits_u32(std::uint64_t v) { return v <= 0xFFFFFFFFull; }
inline constexpr bool fits_i32(std::int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

// Version byte of a full box payload: 1 means version 1, anything else version 0.
inline bool is_version1(ByteView payload) { return !payload.empty() && payload[0] == 1; }
// The 24-bit flags of a full box payload (0 when it is shorter than 4 bytes).
inline std::uint32_t full_box_flags(ByteView payload) {
  return load_u32(payload, 0).value_or(0) & 0xFFFFFF;
}

// A full box's version byte and 24-bit flags.
template <class Sink>
void put_version_flags(Sink& out, std::uint8_t version, std::uint32_t flags) {
  out.put_u8(version);
  out.put_u24(flags);
}
template <class Sink>
void put_full_box_header(Sink& out, FourCC type, std::uint64_t payload_size, std::uint8_t version,
                         std::uint32_t flags) {
  put_box_header(out, type, payload_size);
  put_version_flags(out, version, flags);
}

// A number stored in a box payload, located so that it can be rewritten in place: a rewrite
// keeps the box's version, width and every other byte, so no box changes length.
struct FieldSpot {
  std::size_t at = 0;       // from the payload's first byte (the version byte)
  std::uint8_t width = 4;   // 4 or 8 bytes, big-endian

  std::uint64_t read(ByteView payload) const {
    return width == 8 ? *load_u64(payload, at) : *load_u32(payload, at);
  }
  // Stores `value` into a payload (or a copy of one); a value wider than the field takes its
  // largest value.
  void write(std::span<std::uint8_t> payload, std::uint64_t value) const {
    if (width == 4 && !fits_u32(value)) value = 0xFFFFFFFFull;
    for (std::size_t i = 0; i < width; ++i)
      payload[at + i] = static_cast<std::uint8_t>(value >> ((width - 1 - i) * 8));
  }
};

// The times of an mvhd, tkhd or mdhd payload, located for rewriting in place (in version 1
// 64-bit, else 32-bit). Nothing when the payload is too short to hold them all: version 0
// needs 20 bytes (24 for tkhd), version 1 32 bytes (36 for tkhd).
struct HeaderTimeSpots {
  FieldSpot creation_time, modification_time, duration;
  std::optional<FieldSpot> timescale;  // mvhd and mdhd; a tkhd has none
};

using Matrix = std::array<std::uint32_t, 9>;
inline constexpr Matrix kUnityMatrix = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
inline constexpr std::uint16_t kLanguageUndetermined = 0x55C4;  // packed "und"
// The mdhd's language: an ISO 639-2/T code of three lowercase letters, each stored in 5 bits
// as its value minus 0x60. Anything else is "und".
inline constexpr std::uint16_t pack_language(const std::array<char, 3>& code) {
  std::uint16_t packed = 0;
  for (const char c : code) {
    if (c < 'a' || c > 'z') return kLanguageUndetermined;
    packed = static_cast<std::uint16_t>((packed << 5) | (c - 0x60));
  }
  return packed;
}
inline std::array<char, 3> unpack_language(std::uint16_t packed) {
  std::array<char, 3> code{};
  for (int i = 0; i < 3; ++i) code[i] = static_cast<char>(((packed >> (10 - 5 * i)) & 0x1F) + 0x60);
  return code;
}

// mvhd
struct MovieHeader {
  std::uint64_t creation_time = 0;
  std::uint64_t modification_time = 0;
  std::uint32_t timescale = 1000;
  std::uint64_t duration = 0;
  std::uint32_t rate = 0x00010000;   // 16.16
  std::uint16_t volume = 0x0100;     // 8.8
  Matrix matrix = kUnityMatrix;
  std::uint32_t next_track_id = 1;

  static std::optional<MovieHeader> read(ByteView payload);
  static std::optional<HeaderTimeSpots> time_spots(ByteView payload);
  std::uint8_t version() const;
  std::uint64_t payload_size() const;
  template <class Sink> void write(Sink& out) const;
};

// tkhd
struct TrackHeader {
  std::uint32_t flags = 0x000007;    // enabled, in movie, in preview
  std::uint64_t creation_time = 0;
  std::uint64_t modification_time = 0;
  std::uint32_t track_id = 0;
  std::uint64_t duration = 0;        // movie timescale
  std::uint16_t layer = 0;
  std::uint16_t alternate_group = 0;
  std::uint16_t volume = 0;          // 8.8; 0x0100 for audio
  Matrix matrix = kUnityMatrix;
  std::uint32_t width = 0;           // 16.16
  std::uint32_t height = 0;          // 16.16

  static std::optional<TrackHeader> read(ByteView payload);
  static std::optional<HeaderTimeSpots> time_spots(ByteView payload);
  std::uint8_t version() const;
  std::uint64_t payload_size() const;
  template <class Sink> void write(Sink& out) const;
};
// The track_ID of a tkhd payload without reading the rest (nothing when it is too short).
std::optional<std::uint32_t> read_track_id(ByteView tkhd_payload);

// mdhd
struct MediaHeader {
  std::uint64_t creation_time = 0;
  std::uint64_t modification_time = 0;
  std::uint32_t timescale = 1000;
  std::uint64_t duration = 0;        // media timescale
  std::uint16_t language = kLanguageUndetermined;

  static std::optional<MediaHeader> read(ByteView payload);
  static std::optional<HeaderTimeSpots> time_spots(ByteView payload);
  std::uint8_t version() const;
  std::uint64_t payload_size() const;
  template <class Sink> void write(Sink& out) const;
};

// hdlr
struct HandlerBox {
  FourCC handler_type;
  ByteView name;  // as stored, terminator included; empty writes a single 0 byte

  static std::optional<HandlerBox> read(ByteView payload);
  std::uint64_t payload_size() const;
  template <class Sink> void write(Sink& out) const;
};

// elst
struct EditEntry {
  std::uint64_t segment_duration = 0;  // movie timescale
  std::int64_t media_time = 0;         // media timescale; -1 is an empty edit
  std::int16_t rate_integer = 1;
  std::int16_t rate_fraction = 0;
};
struct EditList {
  std::vector<EditEntry> entries;

  // Entries that do not fit the payload are left out.
  static std::optional<EditList> read(ByteView payload);
  std::uint8_t version() const;
  std::uint64_t payload_size() const;
  template <class Sink> void write(Sink& out) const;
  // The edts box holding this list.
  std::uint64_t edts_size() const { return 8 + payload_size() + 8; }
  template <class Sink> void write_edts(Sink& out) const;
};

// mfhd
struct MovieFragmentHeader {
  std::uint32_t sequence_number = 1;
  static constexpr std::uint64_t payload_size() { return 8; }
  template <class Sink> void write(Sink& out) const;
};

// tfhd
namespace tfhd_flags {
inline constexpr std::uint32_t kBaseDataOffsetPresent = 0x000001;
inline constexpr std::uint32_t kSampleDescriptionIndexPresent = 0x000002;
inline constexpr std::uint32_t kDefaultDurationPresent = 0x000008;
inline constexpr std::uint32_t kDefaultSizePresent = 0x000010;
inline constexpr std::uint32_t kDefaultFlagsPresent = 0x000020;
inline constexpr std::uint32_t kDurationIsEmpty = 0x010000;
inline constexpr std::uint32_t kDefaultBaseIsMoof = 0x020000;
}  // namespace tfhd_flags
struct TrackFragmentHeader {
  std::uint32_t flags = 0;
  std::uint32_t track_id = 0;
  std::optional<std::uint64_t> base_data_offset;
  std::optional<std::uint32_t> sample_description_index;
  std::optional<std::uint32_t> default_duration, default_size, default_flags;
  // Whether every field its flags announce was in the payload.
  bool complete = true;

  // Nothing when the payload is shorter than 8 bytes. An announced field that does not fit
  // is left out and clears `complete`; the fields after it are still looked for.
  static std::optional<TrackFragmentHeader> read(ByteView payload);
  std::uint64_t payload_size() const;
  template <class Sink> void write(Sink& out) const;  // flags follow the fields present
};

// tfdt
struct TrackFragmentDecodeTime {
  std::uint64_t decode_time = 0;
  static std::optional<TrackFragmentDecodeTime> read(ByteView payload);
  // Where read() finds the time, for rewriting it in its own width.
  static std::optional<FieldSpot> decode_time_spot(ByteView payload);
  std::uint8_t version() const { return fits_u32(decode_time) ? 0 : 1; }
  std::uint64_t payload_size() const { return version() == 1 ? 12 : 8; }
  template <class Sink> void write(Sink& out) const;
};

// trun: the header; the per-sample entries are read by the fragment-run reader
// (fragment_runs.hpp), the only reader of runs.
namespace trun_flags {
inline constexpr std::uint32_t kDataOffsetPresent = 0x000001;
inline constexpr std::uint32_t kFirstSampleFlagsPresent = 0x000004;
inline constexpr std::uint32_t kDurationPresent = 0x000100;
inline constexpr std::uint32_t kSizePresent = 0x000200;
inline constexpr std::uint32_t kFlagsPresent = 0x000400;
inline constexpr std::uint32_t kCompositionOffsetPresent = 0x000800;
}  // namespace trun_flags
struct TrackRunEntry {
  std::uint32_t duration = 0;
  std::uint32_t size = 0;
  std::uint32_t flags = 0;
  std::uint32_t composition_offset = 0;  // raw 32 bits: signed in version 1
};
struct TrackRun {
  std::uint8_t version = 0;
  std::uint32_t flags = 0;
  std::uint32_t sample_count = 0;
  std::optional<std::int32_t> data_offset;
  std::optional<std::uint32_t> first_sample_flags;
  ByteView entries;              // the per-sample table as far as the payload holds it
  std::size_t entry_width = 0;   // 4 bytes per field its flags announce
  bool complete = true;          // the announced header fields and table all fit

  static std::optional<TrackRun> read(ByteView payload);  // nothing below 8 bytes
  // Entry i with the given defaults for the fields the run does not carry; a field that the
  // payload does not hold keeps its default.
  TrackRunEntry entry(std::uint32_t i, const TrackRunEntry& defaults) const;
  // Writing: the entries in the layout `flags` announces.
  std::uint64_t payload_size() const;
  template <class Sink> void write(Sink& out, const std::vector<TrackRunEntry>& samples) const;
  // The same for `count` entries that entries(put) hands to put one by one, in order.
  template <class Sink, class Entries> void write_each(Sink& out, std::size_t count, Entries&& entries) const;
};

// trex
struct TrackExtends {
  std::uint32_t track_id = 0;
  std::uint32_t sample_description_index = 1;
  std::uint32_t default_duration = 0;
  std::uint32_t default_size = 0;
  std::uint32_t default_flags = 0;

  static std::optional<TrackExtends> read(ByteView payload);
  static constexpr std::uint64_t payload_size() { return 24; }
  template <class Sink> void write(Sink& out) const;
};

// sidx
struct SegmentReference {
  bool reference_type = false;        // 1: the reference is to another sidx
  std::uint32_t referenced_size = 0;  // 31 bits
  std::uint32_t subsegment_duration = 0;
  bool starts_with_sap = false;
  std::uint8_t sap_type = 0;          // 3 bits
  std::uint32_t sap_delta_time = 0;   // 28 bits
};
struct SegmentIndex {
  std::uint32_t reference_id = 0;
  std::uint32_t timescale = 0;
  std::uint64_t earliest_presentation_time = 0;
  std::uint64_t first_offset = 0;
  std::vector<SegmentReference> references;

  static std::optional<SegmentIndex> read(ByteView payload);  // every reference must fit
  // Where read() finds earliest_presentation_time, for rewriting it in its own width.
  static std::optional<FieldSpot> earliest_presentation_time_spot(ByteView payload);
  std::uint8_t version() const;
  std::uint64_t payload_size() const;
  template <class Sink> void write(Sink& out) const;
};

// Sample tables. Each is a full box whose payload is version and flags, a 32-bit entry count
// and that many fixed-width entries (stsz carries a uniform size before its count). Reading
// checks that the announced entries lie inside the payload before anything is used; writing
// is done entry by entry from the samples by the movie writer, so tables of millions of
// entries are never built twice.
struct TableLayout {
  FourCC type;
  std::size_t header_fields;  // bytes of fields between version/flags and the entries,
                              // the entry count included
  std::size_t entry_width;
};
inline constexpr TableLayout kTimeToSample{"stts", 4, 8};      // sample_count, sample_delta
inline constexpr TableLayout kCompositionOffsets{"ctts", 4, 8};  // sample_count, offset
inline constexpr TableLayout kSyncSamples{"stss", 4, 4};       // sample_number (from 1)
inline constexpr TableLayout kSampleSizes{"stsz", 8, 4};       // sample_size, count; sizes
inline constexpr TableLayout kSampleToChunk{"stsc", 4, 12};    // first_chunk, per_chunk, index
inline constexpr TableLayout kChunkOffsets{"stco", 4, 4};
inline constexpr TableLayout kLargeChunkOffsets{"co64", 4, 8};

// A table's entries as a payload holds them.
struct TableView {
  std::uint32_t count = 0;
  ByteView entries;  // count × entry_width bytes
  std::size_t entry_width = 0;
  std::uint8_t version = 0;

  std::uint32_t u32(std::uint32_t entry, std::size_t field = 0) const {
    return *load_u32(entries, static_cast<std::size_t>(entry) * entry_width + field * 4);
  }
  std::uint64_t u64(std::uint32_t entry) const {
    return *load_u64(entries, static_cast<std::size_t>(entry) * entry_width);
  }
};
// Nothing when the payload is too short for the count, or for the entries it announces.
std::optional<TableView> read_table(ByteView payload, const TableLayout& layout);

// stsz: a uniform size (every sample that size), or one size per sample.
struct SampleSizes {
  std::uint32_t uniform_size = 0;
  std::uint32_t sample_count = 0;
  std::optional<TableView> sizes;  // when uniform_size is 0

  static std::optional<SampleSizes> read(ByteView payload);
  // The uniform size and count only (`sizes` stays empty): nothing below 12 bytes.
  static std::optional<SampleSizes> read_header(ByteView payload);
  // The first sample's size as far as the payload holds it: the uniform size, else the first
  // entry (whatever the count says).
  static std::optional<std::uint32_t> first_size(ByteView payload);
  std::uint32_t size_of(std::uint32_t index) const {  // 0-based, index < sample_count
    return sizes ? sizes->u32(index) : uniform_size;
  }
};

// The bytes of a table box with `count` entries of `layout`.
inline constexpr std::uint64_t table_box_size(const TableLayout& layout, std::uint64_t count) {
  return 8 + 4 + layout.header_fields + count * layout.entry_width;
}
// Version, flags and the header fields (the entry count last) of a table box; the caller
// appends exactly `count` entries.
template <class Sink>
void put_table_header(Sink& out, const TableLayout& layout, std::uint32_t count,
                      std::uint8_t version = 0, std::uint32_t uniform_size = 0) {
  put_full_box_header(out, layout.type, table_box_size(layout, count) - 8, version, 0);
  if (layout.header_fields == 8) out.put_u32(uniform_size);
  out.put_u32(count);
}

}  // namespace plexo::mp4

#include "mp4_parser/boxes_write.inl"
