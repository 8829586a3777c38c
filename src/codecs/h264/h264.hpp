// H.264 in one place: NAL unit types, access-unit boundaries and the decoder configuration
// record (avcC), for the demultiplexer, the MP4 writer and the thumbnails.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "codecs/bit_reader.hpp"
#include "codecs/h264/parameter_sets.hpp"
#include "codecs/nal_units.hpp"
#include "core/buffer.hpp"
#include "core/bytes.hpp"

namespace plexo::h264 {

enum NalType : std::uint8_t {
  kNonIdrSlice = 1,
  kSliceDataA = 2,
  kIdrSlice = 5,
  kSei = 6,
  kSps = 7,
  kPps = 8,
  kAccessUnitDelimiter = 9,
};

inline std::uint8_t nal_type(std::uint8_t header_byte) { return header_byte & 0x1F; }
inline bool is_vcl(std::uint8_t type) { return type >= 1 && type <= 5; }

using nal::DecoderConfiguration;

// Nothing when the record is cut short or names a length size H.264 does not allow (3).
inline std::optional<DecoderConfiguration> read_decoder_configuration(ByteView payload) {
  ByteReader reader(payload);
  if (!reader.skip(1)) return std::nullopt;  // version
  auto profile = reader.read_u8(), constraints = reader.read_u8();
  if (!profile || !constraints || !reader.skip(1)) return std::nullopt;  // level
  auto length_size_byte = reader.read_u8();
  if (!length_size_byte) return std::nullopt;
  DecoderConfiguration config;
  config.profile_idc = *profile;
  config.constraints = *constraints;
  config.length_size = (*length_size_byte & 0x03) + 1;
  if (config.length_size == 3) return std::nullopt;
  for (int kind = 0; kind < 2; ++kind) {  // SPS, then PPS
    auto count = reader.read_u8();
    if (!count) return std::nullopt;
    if (!nal::read_length16_units(reader, kind == 0 ? (*count & 0x1F) : *count, config)) return std::nullopt;
  }
  return config;
}

// Whether a decoder configuration record of this profile ends with the chroma format, the bit
// depths and the SPS extensions.
inline bool has_record_extension(std::uint8_t profile_idc) {
  return profile_idc == 100 || profile_idc == 110 || profile_idc == 122 || profile_idc == 144;
}

// Writes a decoder configuration record with 4-byte NAL lengths, one SPS and one PPS (each
// at most 0xFFFF bytes). A parameter set too short to name its profile is described as High
// profile, level 3.1. The High profiles' record ends with the SPS's chroma format and bit
// depths (4:2:0 at 8 bits when it cannot be read) and no SPS extension: none is kept.
inline void put_decoder_configuration(Buffer& out, ByteView sps, ByteView pps) {
  constexpr std::uint8_t kHighProfile = 100;
  constexpr std::uint8_t kLevel31 = 31;
  out.put_u8(1);  // configurationVersion
  if (sps.size() > 3) {
    out.put_u8(sps[1]);
    out.put_u8(sps[2]);
    out.put_u8(sps[3]);
  } else {
    out.put_u8(kHighProfile);
    out.put_u8(0);
    out.put_u8(kLevel31);
  }
  out.put_u8(0xFF);  // lengthSizeMinusOne 3
  out.put_u8(0xE1);  // one SPS
  out.put_u16(static_cast<std::uint16_t>(sps.size()));
  out.put(sps);
  out.put_u8(1);
  out.put_u16(static_cast<std::uint16_t>(pps.size()));
  out.put(pps);
  if (sps.size() > 3 && has_record_extension(sps[1])) {
    const auto fields = read_sps(sps);
    out.put_u8(static_cast<std::uint8_t>(0xFC | (fields ? fields->chroma_format_idc & 0x03 : 1)));
    out.put_u8(static_cast<std::uint8_t>(0xF8 | (fields ? fields->bit_depth_luma_minus8 & 0x07 : 0)));
    out.put_u8(static_cast<std::uint8_t>(0xF8 | (fields ? fields->bit_depth_chroma_minus8 & 0x07 : 0)));
    out.put_u8(0);  // numOfSequenceParameterSetExt
  }
}

// The name of a profile_idc; constraint_set1_flag (0x40 of the constraints byte) makes Baseline
// Constrained Baseline.
inline std::string profile_name(std::uint8_t profile_idc, std::uint8_t constraints) {
  switch (profile_idc) {
    case 66: return constraints & 0x40 ? "Constrained Baseline" : "Baseline";
    case 77: return "Main";
    case 88: return "Extended";
    case 100: return "High";
    case 110: return "High 10";
    case 122: return "High 4:2:2";
    case 244: return "High 4:4:4 Predictive";
    case 44: return "CAVLC 4:4:4 Intra";
    default: return "profile " + std::to_string(profile_idc);
  }
}

// first_mb_in_slice of a slice NAL unit (header byte first); nullopt when unreadable.
inline std::optional<std::uint32_t> first_mb_in_slice(ByteView nal) {
  if (nal.size() < 2) return std::nullopt;
  BitReader reader(nal.subspan(1));
  return reader.read_ue();
}

// Whether a NAL unit opens a new access unit, given whether the access unit collected so far
// already holds a slice. A delimiter, SEI, parameter set or types 14 to 18 after a slice open
// one, and so does a slice whose first_mb_in_slice is 0 (the first slice of the next picture).
inline bool opens_access_unit(ByteView nal, bool unit_has_slice) {
  if (!unit_has_slice || nal.empty()) return false;
  std::uint8_t type = nal_type(nal[0]);
  if (type == kAccessUnitDelimiter || type == kSei || type == kSps || type == kPps ||
      (type >= 14 && type <= 18))
    return true;
  if (type == kNonIdrSlice || type == kIdrSlice || type == kSliceDataA) {
    auto first_mb = first_mb_in_slice(nal);
    return first_mb && *first_mb == 0;
  }
  return false;
}

}  // namespace plexo::h264
