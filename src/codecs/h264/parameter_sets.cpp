#include <algorithm>
#include <vector>

#include "codecs/bit_reader.hpp"
#include "codecs/h264/parameter_sets.hpp"
#include "codecs/nal_units.hpp"

namespace plexo::h264 {
namespace {

constexpr std::uint32_t kMaxSpsId = 31;
constexpr std::uint32_t kMaxPpsId = 255;

// Profiles whose SPS carries chroma_format_idc, bit depths and scaling matrices.
bool has_chroma_fields(std::uint8_t profile_idc) {
  switch (profile_idc) {
    case 100: case 110: case 122: case 144: case 244: case 44: case 83: case 86: case 118: case 128:
      return true;
    default:
      return false;
  }
}

// Only the bits matter: whether a list ends early (a scale of 0) decides how many deltas it
// holds. A delta may be anything the signed code can hold, far beyond the -128..127 that H.264
// allows, so the scales are computed in 64 bits and reduced modulo 256 into 0..255.
bool skip_scaling_list(BitReader& bits, int size) {
  std::int64_t last_scale = 8, next_scale = 8;
  for (int j = 0; j < size; ++j) {
    if (next_scale != 0) {
      auto delta = bits.read_se();
      if (!delta) return false;
      next_scale = ((last_scale + *delta) % 256 + 256) % 256;
    }
    if (next_scale != 0) last_scale = next_scale;
  }
  return true;
}

}  // namespace

std::optional<SequenceParameters> read_sps(ByteView nal) {
  if (nal.size() < 4) return std::nullopt;
  const std::vector<std::uint8_t> sps = nal::remove_emulation_prevention(nal);
  if (sps.size() < 4) return std::nullopt;
  const std::uint8_t profile_idc = sps[1];
  BitReader bits(ByteView(sps).subspan(4));
  auto fail = [] { return std::optional<SequenceParameters>{}; };

  auto id = bits.read_ue();
  if (!id || *id > kMaxSpsId) return fail();
  std::uint32_t chroma_format_idc = 1;
  bool separate_colour_plane = false;
  std::optional<std::uint32_t> depth_luma = 0, depth_chroma = 0;
  if (has_chroma_fields(profile_idc)) {
    auto chroma = bits.read_ue();
    if (!chroma) return fail();
    chroma_format_idc = *chroma;
    if (chroma_format_idc == 3) {
      auto flag = bits.read_bit();
      if (!flag) return fail();
      separate_colour_plane = *flag == 1;
    }
    depth_luma = bits.read_ue();
    depth_chroma = depth_luma ? bits.read_ue() : std::nullopt;
    if (!depth_chroma) return fail();
    if (!bits.read_bit()) return fail();                    // qpprime_y_zero_transform_bypass
    auto matrix_present = bits.read_bit();
    if (!matrix_present) return fail();
    if (*matrix_present) {
      const int lists = chroma_format_idc == 3 ? 12 : 8;
      for (int i = 0; i < lists; ++i) {
        auto list_present = bits.read_bit();
        if (!list_present) return fail();
        if (*list_present && !skip_scaling_list(bits, i < 6 ? 16 : 64)) return fail();
      }
    }
  }
  if (!bits.skip_ue()) return fail();  // log2_max_frame_num_minus4
  auto poc_type = bits.read_ue();
  if (!poc_type) return fail();
  if (*poc_type == 0) {
    if (!bits.skip_ue()) return fail();
  } else if (*poc_type == 1) {
    if (!bits.read_bit() || !bits.skip_ue() || !bits.skip_ue()) return fail();
    auto cycle = bits.read_ue();
    if (!cycle) return fail();
    for (std::uint32_t i = 0; i < *cycle; ++i)
      if (!bits.skip_ue()) return fail();  // runs out of bits long before a hostile count ends
  }
  if (!bits.skip_ue() || !bits.read_bit()) return fail();  // max_num_ref_frames, gaps flag
  auto width_mbs = bits.read_ue();
  auto height_map_units = width_mbs ? bits.read_ue() : std::nullopt;
  if (!height_map_units) return fail();
  auto frame_mbs_only = bits.read_bit();
  if (!frame_mbs_only) return fail();
  if (*frame_mbs_only == 0 && !bits.read_bit()) return fail();  // mb_adaptive_frame_field
  if (!bits.read_bit()) return fail();                          // direct_8x8_inference
  auto cropping = bits.read_bit();
  if (!cropping) return fail();
  std::uint32_t crop[4] = {0, 0, 0, 0};  // left, right, top, bottom
  if (*cropping) {
    for (auto& value : crop) {
      auto read = bits.read_ue();
      if (!read) return fail();
      value = *read;
    }
  }
  // Crop offsets count in chroma samples: two luma pixels per unit across for 4:2:0 and 4:2:2,
  // two down for 4:2:0, doubled down again for field-coded (interlaced) pictures.
  const bool has_chroma = chroma_format_idc != 0 && !separate_colour_plane;
  const std::uint32_t crop_unit_x = has_chroma && chroma_format_idc != 3 ? 2 : 1;
  const std::uint32_t crop_unit_y =
      (has_chroma && chroma_format_idc == 1 ? 2 : 1) * (2 - *frame_mbs_only);
  const std::uint32_t width = (*width_mbs + 1) * 16 - crop_unit_x * (crop[0] + crop[1]);
  const std::uint32_t height =
      (*height_map_units + 1) * 16 * (2 - *frame_mbs_only) - crop_unit_y * (crop[2] + crop[3]);
  SequenceParameters fields{*id, {static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)}};
  fields.chroma_format_idc = chroma_format_idc;
  fields.bit_depth_luma_minus8 = *depth_luma;
  fields.bit_depth_chroma_minus8 = *depth_chroma;
  if (auto vui_present = bits.read_bit(); vui_present && *vui_present)
    fields.usability = vui::read_video_usability(bits);
  return fields;
}

std::optional<std::uint32_t> read_pps_sps_id(ByteView nal) {
  auto ids = read_pps_ids(nal);
  if (!ids) return std::nullopt;
  return ids->sps_id;
}

std::optional<PictureParameterIds> read_pps_ids(ByteView nal) {
  if (nal.size() < 2) return std::nullopt;
  // Both ids lie within the first bytes, escapes included.
  const std::vector<std::uint8_t> pps = nal::remove_emulation_prevention(nal.first(std::min<std::size_t>(nal.size(), 16)));
  BitReader bits(ByteView(pps).subspan(1));
  auto pps_id = bits.read_ue();
  if (!pps_id || *pps_id > kMaxPpsId) return std::nullopt;
  auto sps_id = bits.read_ue();
  if (!sps_id || *sps_id > kMaxSpsId) return std::nullopt;
  return PictureParameterIds{*pps_id, *sps_id};
}

}  // namespace plexo::h264
