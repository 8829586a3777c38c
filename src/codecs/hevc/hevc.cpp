#include "codecs/hevc/hevc.hpp"

#include <algorithm>
#include <vector>

#include "codecs/bit_reader.hpp"

namespace plexo::hevc {
namespace {

constexpr std::uint32_t kMaxVpsId = 15;
constexpr std::uint32_t kMaxSpsId = 15;
constexpr std::uint32_t kMaxPpsId = 63;
constexpr std::uint32_t kMaxSubLayers = 7;
// The largest picture dimension any level allows: sqrt(8 x MaxLumaPs) of level 6.2.
constexpr std::uint32_t kMaxDimension = 16888;
// An hvcC gives bit depths 3 bits (bit depth minus 8).
constexpr std::uint32_t kMaxBitDepthMinus8 = 7;
constexpr std::uint32_t kLengthSizeMinusOne = 3;
// A sub-layer's profile fields: space, tier, idc, 32 compatibility and 48 constraint flags.
constexpr int kSubLayerProfileBits = 2 + 1 + 5 + 32 + 48;
constexpr int kSubLayerLevelBits = 8;

bool skip_bits(BitReader& bits, int count) {
  for (; count > 0; count -= 32)
    if (!bits.read_bits(std::min(count, 32))) return false;
  return true;
}

// profile_tier_level(1, max_sub_layers_minus1): the general part kept, the sub-layers' parts
// read past.
std::optional<ProfileTierLevel> read_profile_tier_level(BitReader& bits, std::uint32_t max_sub_layers_minus1) {
  ProfileTierLevel ptl;
  auto first = bits.read_bits(8);
  auto compatibility = bits.read_bits(32);
  auto constraints_high = bits.read_bits(16);
  auto constraints_low = bits.read_bits(32);
  auto level = bits.read_bits(8);
  if (!first || !compatibility || !constraints_high || !constraints_low || !level) return std::nullopt;
  ptl.profile_space = static_cast<std::uint8_t>(*first >> 6);
  ptl.tier = static_cast<std::uint8_t>((*first >> 5) & 1);
  ptl.profile_idc = static_cast<std::uint8_t>(*first & 0x1F);
  ptl.compatibility_flags = *compatibility;
  ptl.constraint_flags = (std::uint64_t{*constraints_high} << 32) | *constraints_low;
  ptl.level_idc = static_cast<std::uint8_t>(*level);

  bool profile_present[8] = {}, level_present[8] = {};
  for (std::uint32_t i = 0; i < max_sub_layers_minus1; ++i) {
    auto p = bits.read_bit(), l = bits.read_bit();
    if (!p || !l) return std::nullopt;
    profile_present[i] = *p;
    level_present[i] = *l;
  }
  if (max_sub_layers_minus1 > 0 && !skip_bits(bits, 2 * static_cast<int>(8 - max_sub_layers_minus1)))
    return std::nullopt;  // reserved_zero_2bits up to eight entries
  for (std::uint32_t i = 0; i < max_sub_layers_minus1; ++i) {
    if (profile_present[i] && !skip_bits(bits, kSubLayerProfileBits)) return std::nullopt;
    if (level_present[i] && !skip_bits(bits, kSubLayerLevelBits)) return std::nullopt;
  }
  return ptl;
}

// The RBSP after the two-byte header.
std::vector<std::uint8_t> payload_rbsp(ByteView nal, std::size_t limit = SIZE_MAX) {
  if (nal.size() <= kNalHeaderSize) return {};
  return nal::remove_emulation_prevention(nal.subspan(kNalHeaderSize, std::min(limit, nal.size() - kNalHeaderSize)));
}

// scaling_list_data(): its bits passed over.
bool skip_scaling_lists(BitReader& bits) {
  for (int size = 0; size < 4; ++size) {
    for (int matrix = 0; matrix < 6; matrix += size == 3 ? 3 : 1) {
      auto predicted_from_another = bits.read_bit();
      if (!predicted_from_another) return false;
      if (!*predicted_from_another) {
        if (!bits.skip_ue()) return false;  // scaling_list_pred_matrix_id_delta
        continue;
      }
      const int coefficients = std::min(64, 1 << (4 + (size << 1)));
      if (size > 1 && !bits.read_se()) return false;  // scaling_list_dc_coef_minus8
      for (int i = 0; i < coefficients; ++i)
        if (!bits.read_se()) return false;
    }
  }
  return true;
}

// The short-term reference picture sets of an SPS: each one's bits passed over, counting its
// pictures, which a set predicted from the one before it needs. Nothing when cut short or
// out of HEVC's range.
bool skip_short_term_sets(BitReader& bits, std::uint32_t count) {
  constexpr std::uint32_t kMaxSets = 64, kMaxPictures = 16;
  if (count > kMaxSets) return false;
  std::uint32_t previous_pictures = 0;
  for (std::uint32_t set = 0; set < count; ++set) {
    std::uint32_t pictures = 0;
    auto predicted = set != 0 ? bits.read_bit() : std::optional<std::uint32_t>(0);
    if (!predicted) return false;
    if (*predicted) {
      if (!bits.read_bit() || !bits.skip_ue()) return false;  // delta_rps_sign, abs_delta_rps_minus1
      for (std::uint32_t j = 0; j <= previous_pictures; ++j) {
        auto used = bits.read_bit();
        if (!used) return false;
        auto use_delta = *used ? used : bits.read_bit();
        if (!use_delta) return false;
        pictures += *use_delta;
      }
    } else {
      auto negative = bits.read_ue();
      auto positive = negative ? bits.read_ue() : std::nullopt;
      if (!positive || *negative > kMaxPictures || *positive > kMaxPictures) return false;
      pictures = *negative + *positive;
      for (std::uint32_t i = 0; i < pictures; ++i)
        if (!bits.skip_ue() || !bits.read_bit()) return false;  // delta_poc_minus1, used flag
    }
    if (pictures > kMaxPictures) return false;
    previous_pictures = pictures;
  }
  return true;
}

// The rest of an SPS after its bit depths, read past up to its VUI; nothing when it has none
// or ends first.
vui::VideoUsability read_usability(BitReader& bits, std::uint32_t max_sub_layers_minus1) {
  constexpr std::uint32_t kMaxPocLsbBitsMinus4 = 12, kMaxLongTermPictures = 32;
  auto poc_lsb_bits_minus4 = bits.read_ue();
  auto ordering_for_each = poc_lsb_bits_minus4 ? bits.read_bit() : std::nullopt;
  if (!ordering_for_each || *poc_lsb_bits_minus4 > kMaxPocLsbBitsMinus4) return {};
  for (std::uint32_t i = *ordering_for_each ? 0 : max_sub_layers_minus1; i <= max_sub_layers_minus1; ++i)
    if (!bits.skip_ue() || !bits.skip_ue() || !bits.skip_ue()) return {};  // buffering, reorder, latency
  for (int i = 0; i < 6; ++i)  // coding and transform block sizes, transform hierarchy depths
    if (!bits.skip_ue()) return {};
  auto scaling = bits.read_bit();
  if (!scaling) return {};
  if (*scaling) {
    auto lists_present = bits.read_bit();
    if (!lists_present || (*lists_present && !skip_scaling_lists(bits))) return {};
  }
  auto amp = bits.read_bit(), sao = bits.read_bit(), pcm = bits.read_bit();
  if (!amp || !sao || !pcm) return {};
  if (*pcm && (!bits.read_bits(8) || !bits.skip_ue() || !bits.skip_ue() || !bits.read_bit())) return {};
  auto sets = bits.read_ue();
  if (!sets || !skip_short_term_sets(bits, *sets)) return {};
  auto long_term = bits.read_bit();
  if (!long_term) return {};
  if (*long_term) {
    auto count = bits.read_ue();
    if (!count || *count > kMaxLongTermPictures) return {};
    for (std::uint32_t i = 0; i < *count; ++i)  // lt_ref_pic_poc_lsb_sps, used_by_curr_pic_lt_sps_flag
      if (!bits.read_bits(static_cast<int>(*poc_lsb_bits_minus4 + 4)) || !bits.read_bit()) return {};
  }
  auto temporal_mvp = bits.read_bit(), strong_intra_smoothing = bits.read_bit(), vui_present = bits.read_bit();
  if (!temporal_mvp || !strong_intra_smoothing || !vui_present || !*vui_present) return {};
  return vui::read_video_usability(bits);
}

void put_array(Buffer& out, std::uint8_t type, ByteView unit) {
  out.put_u8(0x80 | type);  // array_completeness 1: every such unit is in the record
  out.put_u16(1);
  out.put_u16(static_cast<std::uint16_t>(unit.size()));
  out.put(unit);
}

}  // namespace

std::optional<SequenceParameters> read_sps(ByteView nal) {
  const std::vector<std::uint8_t> rbsp = payload_rbsp(nal);
  BitReader bits{ByteView(rbsp)};
  SequenceParameters sps;
  auto vps_id = bits.read_bits(4);
  auto sub_layers_minus1 = bits.read_bits(3);
  auto nesting = bits.read_bit();
  if (!vps_id || !sub_layers_minus1 || !nesting || *sub_layers_minus1 + 1 > kMaxSubLayers) return std::nullopt;
  sps.vps_id = *vps_id;
  sps.max_sub_layers = static_cast<std::uint8_t>(*sub_layers_minus1 + 1);
  sps.temporal_id_nesting = *nesting;
  auto ptl = read_profile_tier_level(bits, *sub_layers_minus1);
  if (!ptl) return std::nullopt;
  sps.general = *ptl;

  auto id = bits.read_ue();
  if (!id || *id > kMaxSpsId) return std::nullopt;
  sps.id = *id;
  auto chroma = bits.read_ue();
  if (!chroma || *chroma > 3) return std::nullopt;
  sps.chroma_format_idc = static_cast<std::uint8_t>(*chroma);
  if (*chroma == 3) {
    auto separate = bits.read_bit();
    if (!separate) return std::nullopt;
    sps.separate_colour_plane = *separate;
  }
  auto width = bits.read_ue();
  auto height = width ? bits.read_ue() : std::nullopt;
  auto window = height ? bits.read_bit() : std::nullopt;
  if (!window) return std::nullopt;
  std::uint64_t crop[4] = {0, 0, 0, 0};  // left, right, top, bottom
  if (*window) {
    for (auto& value : crop) {
      auto read = bits.read_ue();
      if (!read) return std::nullopt;
      value = *read;
    }
  }
  auto luma = bits.read_ue();
  auto chroma_depth = luma ? bits.read_ue() : std::nullopt;
  if (!chroma_depth || *luma > kMaxBitDepthMinus8 || *chroma_depth > kMaxBitDepthMinus8) return std::nullopt;
  sps.bit_depth_luma = static_cast<std::uint8_t>(*luma + 8);
  sps.bit_depth_chroma = static_cast<std::uint8_t>(*chroma_depth + 8);

  // The conformance window counts chroma samples: two luma samples across for 4:2:0 and
  // 4:2:2, two down for 4:2:0; one for monochrome, 4:4:4 and separately coded planes.
  const std::uint32_t chroma_array_type = sps.separate_colour_plane ? 0 : sps.chroma_format_idc;
  const std::uint64_t unit_x = chroma_array_type == 1 || chroma_array_type == 2 ? 2 : 1;
  const std::uint64_t unit_y = chroma_array_type == 1 ? 2 : 1;
  const std::uint64_t crop_x = unit_x * (crop[0] + crop[1]), crop_y = unit_y * (crop[2] + crop[3]);
  if (*width == 0 || *height == 0 || *width > kMaxDimension || *height > kMaxDimension ||
      crop_x >= *width || crop_y >= *height)
    return std::nullopt;
  sps.width = static_cast<std::uint16_t>(*width - crop_x);
  sps.height = static_cast<std::uint16_t>(*height - crop_y);
  sps.usability = read_usability(bits, *sub_layers_minus1);
  return sps;
}

std::optional<std::uint32_t> read_vps_id(ByteView nal) {
  const std::vector<std::uint8_t> rbsp = payload_rbsp(nal, 8);
  BitReader bits{ByteView(rbsp)};
  auto id = bits.read_bits(4);
  auto layers = bits.read_bits(8);  // base-layer flags, vps_max_layers_minus1
  auto sub_layers_minus1 = bits.read_bits(3);
  auto nesting = bits.read_bit();
  auto reserved = bits.read_bits(16);
  if (!id || !layers || !sub_layers_minus1 || !nesting || !reserved) return std::nullopt;
  if (*sub_layers_minus1 + 1 > kMaxSubLayers || *reserved != 0xFFFF) return std::nullopt;
  return id;
}

std::optional<std::uint32_t> read_pps_sps_id(ByteView nal) {
  auto ids = read_pps_ids(nal);
  if (!ids) return std::nullopt;
  return ids->sps_id;
}

std::optional<PictureParameterIds> read_pps_ids(ByteView nal) {
  // Both ids lie within the first bytes, escapes included.
  const std::vector<std::uint8_t> rbsp = payload_rbsp(nal, 16);
  BitReader bits{ByteView(rbsp)};
  auto pps_id = bits.read_ue();
  if (!pps_id || *pps_id > kMaxPpsId) return std::nullopt;
  auto sps_id = bits.read_ue();
  if (!sps_id || *sps_id > kMaxSpsId) return std::nullopt;
  return PictureParameterIds{*pps_id, *sps_id};
}

void put_decoder_configuration(Buffer& out, const SequenceParameters& fields, ByteView vps,
                               ByteView sps, ByteView pps) {
  const ProfileTierLevel& ptl = fields.general;
  out.put_u8(1);  // configurationVersion
  out.put_u8(static_cast<std::uint8_t>((ptl.profile_space << 6) | (ptl.tier << 5) | ptl.profile_idc));
  out.put_u32(ptl.compatibility_flags);
  out.put_u16(static_cast<std::uint16_t>(ptl.constraint_flags >> 32));
  out.put_u32(static_cast<std::uint32_t>(ptl.constraint_flags));
  out.put_u8(ptl.level_idc);
  out.put_u16(0xF000);  // reserved 1111, min_spatial_segmentation_idc 0
  out.put_u8(0xFC);     // reserved 111111, parallelismType 0
  out.put_u8(static_cast<std::uint8_t>(0xFC | fields.chroma_format_idc));
  out.put_u8(static_cast<std::uint8_t>(0xF8 | (fields.bit_depth_luma - 8)));
  out.put_u8(static_cast<std::uint8_t>(0xF8 | (fields.bit_depth_chroma - 8)));
  out.put_u16(0);  // avgFrameRate
  // constantFrameRate 0, numTemporalLayers, temporalIdNested, lengthSizeMinusOne
  out.put_u8(static_cast<std::uint8_t>((fields.max_sub_layers << 3) | (fields.temporal_id_nesting << 2) |
                                       kLengthSizeMinusOne));
  out.put_u8(3);  // numOfArrays
  put_array(out, kVps, vps);
  put_array(out, kSps, sps);
  put_array(out, kPps, pps);
}

std::optional<nal::DecoderConfiguration> read_decoder_configuration(ByteView payload) {
  constexpr std::size_t kLengthSizeByte = 21;
  ByteReader reader(payload);
  if (!reader.skip(1)) return std::nullopt;
  auto profile = reader.read_u8();
  if (!profile || !reader.skip(kLengthSizeByte - 2)) return std::nullopt;
  auto length_size_byte = reader.read_u8();
  auto arrays = reader.read_u8();
  if (!length_size_byte || !arrays) return std::nullopt;
  nal::DecoderConfiguration config;
  config.profile_idc = *profile & 0x1F;
  config.length_size = (*length_size_byte & 0x03) + 1;
  if (config.length_size == 3) return std::nullopt;
  for (std::uint8_t a = 0; a < *arrays; ++a) {
    auto type = reader.read_u8();
    auto count = reader.read_u16();
    if (!type || !count || !nal::read_length16_units(reader, *count, config)) return std::nullopt;
  }
  return config;
}

std::string profile_name(std::uint8_t profile_idc) {
  switch (profile_idc) {
    case 1: return "Main";
    case 2: return "Main 10";
    case 3: return "Main Still Picture";
    case 4: return "Format Range Extensions";
    case 5: return "High Throughput";
    case 9: return "Screen Content Coding";
    default: return "profile " + std::to_string(profile_idc);
  }
}

}  // namespace plexo::hevc
