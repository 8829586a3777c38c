#include "mp4_parser/sample_entries.hpp"

namespace plexo::mp4 {

namespace {
constexpr std::size_t kDescriptionHeader = 8;  // stsd payload: version, flags, entry_count
}  // namespace

std::optional<Box> first_sample_entry(const Box& stsd, BoxRules rules) {
  auto entry = BoxCursor::children(stsd, rules, kDescriptionHeader).next();
  if (!entry || !*entry) return std::nullopt;
  return **entry;
}

Buffer PixelAspectRatio::payload() const {
  Buffer out;
  out.put_u32(horizontal_spacing);
  out.put_u32(vertical_spacing);
  return out;
}

Buffer ColourInformation::payload() const {
  Buffer out;
  out.put_fourcc("nclx");
  out.put_u16(primaries);
  out.put_u16(transfer);
  out.put_u16(matrix);
  out.put_u8(full_range ? 0x80 : 0);  // full_range_flag, 7 reserved bits
  return out;
}

Buffer MasteringDisplayColourVolume::payload() const {
  Buffer out;
  for (std::uint16_t value : primaries) out.put_u16(value);
  out.put_u16(white_x);
  out.put_u16(white_y);
  out.put_u32(max_luminance);
  out.put_u32(min_luminance);
  return out;
}

Buffer ContentLightLevelBox::payload() const {
  Buffer out;
  out.put_u16(max_content);
  out.put_u16(max_average);
  return out;
}

Buffer ElementaryStreamDescriptor::payload() const {
  const std::size_t info = decoder_specific_info.empty() ? 0 : 2 + decoder_specific_info.size();
  Buffer out;
  out.put_u32(0);  // version, flags
  out.put_u8(0x03);  // ES_Descriptor
  out.put_u8(static_cast<std::uint8_t>(3 + 2 + 13 + info + 3));
  out.put_u16(es_id);
  out.put_u8(0);  // no dependency, URL or OCR stream; priority 0
  out.put_u8(0x04);  // DecoderConfigDescriptor
  out.put_u8(static_cast<std::uint8_t>(13 + info));
  out.put_u8(object_type);
  out.put_u8(stream_type);
  out.put_u24(buffer_size);
  out.put_u32(max_bitrate);
  out.put_u32(average_bitrate);
  if (info) {
    out.put_u8(0x05);  // DecoderSpecificInfo
    out.put_u8(static_cast<std::uint8_t>(decoder_specific_info.size()));
    out.put(decoder_specific_info);
  }
  out.put_u8(0x06);  // SLConfigDescriptor: predefined 2 (MP4 files)
  out.put_u8(1);
  out.put_u8(0x02);
  return out;
}

}  // namespace plexo::mp4
