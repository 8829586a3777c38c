// HEVC (H.265) in one place: the two-byte NAL unit header, access-unit boundaries and the
// decoder configuration record (hvcC), for the demultiplexer, the MP4 writer, the thumbnails
// and the probe. The parameter sets are read in codecs/hevc/parameter_sets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "codecs/nal_units.hpp"
#include "codecs/video_usability.hpp"
#include "core/buffer.hpp"
#include "core/bytes.hpp"

namespace plexo::hevc {

enum NalType : std::uint8_t {
  kRadlN = 6,  // leading pictures: RADL_N, RADL_R (decodable), RASL_N, RASL_R (skipped)
  kRaslR = 9,
  kFirstIrap = 16,  // BLA_W_LP
  kIdrWRadl = 19,
  kCraNut = 21,
  kLastIrap = 23,   // the IRAP range ends with two reserved types
  kVps = 32,
  kSps = 33,
  kPps = 34,
  kAccessUnitDelimiter = 35,
  kPrefixSei = 39,
  kSuffixSei = 40,
};

// Every unit opens with a two-byte header: forbidden_zero_bit, nal_unit_type (6 bits),
// nuh_layer_id (6 bits), nuh_temporal_id_plus1 (3 bits).
inline constexpr std::size_t kNalHeaderSize = 2;

inline std::uint8_t nal_type(std::uint8_t header_byte) { return (header_byte >> 1) & 0x3F; }
inline bool is_vcl(std::uint8_t type) { return type < 32; }
// Random-access pictures (BLA, IDR, CRA): decodable without any earlier picture.
inline bool is_irap(std::uint8_t type) { return type >= kFirstIrap && type <= kLastIrap; }
// The is_leading value of a sample flags field for a slice type: 1 for RASL (needs pictures
// before the random-access picture), 3 for RADL (decodable), 0 (unknown) for any other.
inline std::uint8_t leading_flags(std::uint8_t type) {
  if (type < kRadlN || type > kRaslR) return 0;
  return type >= kRadlN + 2 ? 1 : 3;
}
inline bool is_parameter_set(std::uint8_t type) { return type >= kVps && type <= kPps; }

// Whether a NAL unit (header first) opens a new access unit, given whether the access unit
// collected so far already holds a slice. After a slice, a delimiter, a parameter set, a
// prefix SEI or the reserved types 41 to 44 and 48 to 55 open one, and so does a slice whose
// first_slice_segment_in_pic_flag (the bit after the header) is set. Suffix SEI, end of
// sequence or bitstream and filler data stay with the picture before them. A unit of a layer
// above the base layer (nuh_layer_id > 0) belongs to the access unit of its base-layer
// picture and never opens one.
inline std::uint8_t nal_layer_id(ByteView nal) {
  return nal.size() < kNalHeaderSize ? 0 : static_cast<std::uint8_t>(((nal[0] & 1) << 5) | (nal[1] >> 3));
}
inline bool opens_access_unit(ByteView nal, bool unit_has_slice) {
  if (!unit_has_slice || nal.empty() || nal_layer_id(nal) != 0) return false;
  const std::uint8_t type = nal_type(nal[0]);
  if (is_vcl(type)) return nal.size() > kNalHeaderSize && (nal[kNalHeaderSize] & 0x80);
  return (type >= kVps && type <= kAccessUnitDelimiter) || type == kPrefixSei ||
         (type >= 41 && type <= 44) || (type >= 48 && type <= 55);
}

// The general profile, tier and level of a profile_tier_level structure, as an hvcC repeats it.
struct ProfileTierLevel {
  std::uint8_t profile_space = 0;
  std::uint8_t tier = 0;
  std::uint8_t profile_idc = 0;
  std::uint32_t compatibility_flags = 0;
  std::uint64_t constraint_flags = 0;  // 48 bits: progressive_source_flag first
  std::uint8_t level_idc = 0;
};

// An SPS read as far as a container needs it: through the bit depths, then past the coding
// tools to the start of its VUI.
struct SequenceParameters {
  std::uint32_t id = 0;
  std::uint32_t vps_id = 0;
  std::uint8_t max_sub_layers = 1;
  bool temporal_id_nesting = false;
  ProfileTierLevel general;
  std::uint8_t chroma_format_idc = 1;
  bool separate_colour_plane = false;
  std::uint8_t bit_depth_luma = 8;
  std::uint8_t bit_depth_chroma = 8;
  std::uint16_t width = 0;   // luma samples, conformance window applied
  std::uint16_t height = 0;
  // Empty when the SPS has no VUI or ends before its fields.
  vui::VideoUsability usability;
};

// The SPS of a NAL unit (header first), emulation-prevention bytes removed first; nullopt
// when it cannot be read that far, or names values HEVC does not allow or an MP4 sample
// entry cannot describe: ids out of range, more than 7 sub-layers, a picture size of 0 or
// above 16888 luma samples across or down, a conformance window that leaves no picture, bit
// depths above 15.
std::optional<SequenceParameters> read_sps(ByteView nal);
// The id of a VPS; nullopt when its fixed fields cannot be read or are not as HEVC fixes them.
std::optional<std::uint32_t> read_vps_id(ByteView nal);
// The SPS id a PPS refers to; nullopt when its two leading ids cannot be read or are out of
// range (PPS id above 63, SPS id above 15).
std::optional<std::uint32_t> read_pps_sps_id(ByteView nal);
// A PPS's own id and the SPS id it refers to, read as read_pps_sps_id reads them.
struct PictureParameterIds {
  std::uint32_t pps_id;
  std::uint32_t sps_id;
};
std::optional<PictureParameterIds> read_pps_ids(ByteView nal);

// Writes an hvcC payload with 4-byte NAL lengths and one VPS, one SPS and one PPS, each a
// complete array (each at most 0xFFFF bytes). `fields` is the SPS read. Spatial segmentation
// and parallelism are written as unknown (0), as is the frame rate.
void put_decoder_configuration(Buffer& out, const SequenceParameters& fields, ByteView vps,
                               ByteView sps, ByteView pps);

// The hvcC payload as the thumbnails and the probe need it: nothing when it is cut short.
std::optional<nal::DecoderConfiguration> read_decoder_configuration(ByteView payload);

// The name of a general_profile_idc ("Main", "Main 10", ...).
std::string profile_name(std::uint8_t profile_idc);

}  // namespace plexo::hevc
