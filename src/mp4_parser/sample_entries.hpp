// Sample entries: the boxes of a sample description (stsd) that name a track's coding and
// carry its configuration. Each kind's fixed fields are described once, for reading an entry
// and for writing one; the configuration boxes that follow them (avcC or hvcC of a visual
// entry; esds, dac3 or dec3 of an audio entry) are kept as boxes of their own.
//
// A new coding is a new entry type (hvc1, ac-3, ec-3, .mp3) with its configuration box:
//
//   VisualSampleEntry entry;                 // or AudioSampleEntry
//   entry.format = "hvc1";
//   entry.width = w, entry.height = h;
//   entry.configuration.push_back({"hvcC", hvcc.view()});
//   Buffer stsd = sample_description(entry); // the stsd payload for TrackSamples
//
// and, reading, `VisualSampleEntry::read(entry_box)->find("hvcC")`.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/buffer.hpp"
#include "core/bytes.hpp"
#include "mp4_parser/box_cursor.hpp"

namespace plexo::mp4 {

// A box inside a sample entry after its fixed fields: its type and payload.
struct ConfigurationBox {
  FourCC type;
  ByteView payload;
};

// What every sample entry holds: its fixed fields, then configuration boxes.
template <class Fields>
struct SampleEntry : Fields {
  FourCC format;
  std::uint16_t data_reference_index = 1;
  std::vector<ConfigurationBox> configuration;

  // Nothing when the entry's payload is shorter than its fixed fields. Configuration boxes
  // are read with `rules` (a walk that fails reads none).
  static std::optional<SampleEntry> read(const Box& entry, BoxRules rules = kChildBoxes);
  // The payload of the first configuration box of `type`.
  std::optional<ByteView> find(FourCC type) const;

  std::uint64_t payload_size() const;
  template <class Sink> void write(Sink& out) const;  // the whole entry box
};

// The fields of a visual entry (avc1, avc3, hvc1, hev1), 78 bytes with the common ones.
struct VisualFields {
  static constexpr std::size_t kSize = 78;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint32_t horizontal_resolution = 0x00480000;  // 72 dpi, 16.16
  std::uint32_t vertical_resolution = 0x00480000;
  std::uint16_t frame_count = 1;
  std::array<std::uint8_t, 32> compressor_name{};
  std::uint16_t depth = 0x0018;

  bool read_fields(ByteReader& in);
  template <class Sink> void write_fields(Sink& out) const;
};
// The fields of an audio entry (mp4a, ac-3, ec-3, .mp3), 28 bytes with the common ones.
struct AudioFields {
  static constexpr std::size_t kSize = 28;
  std::uint16_t channel_count = 2;
  std::uint16_t sample_size = 16;
  std::uint32_t sample_rate = 0;  // 16.16; 0 when the rate does not fit 16 bits

  // The rate in Hz (the integer part).
  std::uint32_t rate() const { return sample_rate >> 16; }
  // Sets the rate in Hz; rates above 65535 Hz do not fit and are left to the configuration.
  void set_rate(std::uint32_t hz) { sample_rate = hz <= 0xFFFF ? hz << 16 : 0; }

  bool read_fields(ByteReader& in);
  template <class Sink> void write_fields(Sink& out) const;
};
using VisualSampleEntry = SampleEntry<VisualFields>;
using AudioSampleEntry = SampleEntry<AudioFields>;

// The first entry of an stsd payload (version, flags, entry count, entries), walked with
// `rules`; nothing when there is none or the walk fails.
std::optional<Box> first_sample_entry(const Box& stsd, BoxRules rules = kChildBoxes);

// The stsd payload describing one entry.
template <class Entry>
Buffer sample_description(const Entry& entry) {
  Buffer out;
  out.put_u32(0);  // version, flags
  out.put_u32(1);  // entry_count
  entry.write(out);
  return out;
}

// The stsd payload describing several entries, in order (sample_description_index 1, 2, ...).
template <class Entry>
Buffer sample_description(std::span<const Entry> entries) {
  Buffer out;
  out.put_u32(0);  // version, flags
  out.put_u32(static_cast<std::uint32_t>(entries.size()));
  for (const Entry& entry : entries) entry.write(out);
  return out;
}

// The boxes after a visual entry's decoder configuration that say how its pictures are shown;
// each writes its payload.
// pasp: the shape of a sample, its width to its height (absent: square).
struct PixelAspectRatio {
  std::uint32_t horizontal_spacing = 1;
  std::uint32_t vertical_spacing = 1;
  Buffer payload() const;
};
// colr of type nclx: the code points of the colour primaries, transfer characteristics and
// matrix coefficients, and whether samples use the full range.
struct ColourInformation {
  std::uint16_t primaries = 2;
  std::uint16_t transfer = 2;
  std::uint16_t matrix = 2;
  bool full_range = false;
  Buffer payload() const;
};
// mdcv: the mastering display's colour volume, its fields in the order of the SEI message
// that gives them (three primaries' x and y, the white point's, maximum and minimum
// luminance).
struct MasteringDisplayColourVolume {
  std::array<std::uint16_t, 6> primaries{};
  std::uint16_t white_x = 0;
  std::uint16_t white_y = 0;
  std::uint32_t max_luminance = 0;
  std::uint32_t min_luminance = 0;
  Buffer payload() const;
};
// clli: the content's maximum light level and maximum frame-average light level (cd/m²).
struct ContentLightLevelBox {
  std::uint16_t max_content = 0;
  std::uint16_t max_average = 0;
  Buffer payload() const;
};

// esds: the MPEG-4 elementary stream descriptor of an mp4a entry. An ES_Descriptor holding a
// DecoderConfigDescriptor (with the codec's DecoderSpecificInfo) and an SLConfigDescriptor;
// every descriptor length fits one byte.
struct ElementaryStreamDescriptor {
  std::uint16_t es_id = 1;
  std::uint8_t object_type = 0x40;  // MPEG-4 audio
  std::uint8_t stream_type = 0x15;  // audio stream, not upstream, reserved bit
  std::uint32_t buffer_size = 768;
  std::uint32_t max_bitrate = 128000;
  std::uint32_t average_bitrate = 128000;
  ByteView decoder_specific_info;   // left out when empty; at most 255 - 20 bytes

  // The esds payload (version and flags first).
  Buffer payload() const;
};

}  // namespace plexo::mp4

#include "mp4_parser/sample_entries.inl"
