// What H.264 and HEVC sequence parameter sets say about showing their pictures, in the video
// usability information (VUI) that both open the same way: the shape of a sample (pixel
// aspect ratio) and the colour description (primaries, transfer characteristics, matrix
// coefficients, full or video range). One reader for both codecs; each SPS reader calls it
// once its bits have reached vui_parameters_present_flag.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "codecs/bit_reader.hpp"

namespace plexo::vui {

// The width and height of one sample as the stream gives them (not reduced).
struct SampleAspectRatio {
  std::uint16_t horizontal = 1;
  std::uint16_t vertical = 1;
};

// Code points of the colour description; 2 is "unspecified" in each of the three tables.
struct ColourDescription {
  std::uint8_t primaries = 2;
  std::uint8_t transfer = 2;
  std::uint8_t matrix = 2;
  bool full_range = false;
};

struct VideoUsability {
  std::optional<SampleAspectRatio> aspect_ratio;  // signalled and not "unspecified" or reserved
  // Present when the stream describes its colours or says its samples use the full range.
  std::optional<ColourDescription> colour;
};

// The sample aspect ratios that aspect_ratio_idc 1 to 16 stand for.
inline constexpr std::array<SampleAspectRatio, 16> kAspectRatios = {{
    {1, 1}, {12, 11}, {10, 11}, {16, 11}, {40, 33}, {24, 11}, {20, 11}, {32, 11},
    {80, 33}, {18, 11}, {15, 11}, {64, 33}, {160, 99}, {4, 3}, {3, 2}, {2, 1}}};
inline constexpr std::uint32_t kExtendedSar = 255;

// Reads the VUI from its first flag (aspect_ratio_info_present_flag) through the colour
// description. What the bits end before is left out; the rest of the VUI is not read.
inline VideoUsability read_video_usability(BitReader& bits) {
  VideoUsability vui;
  auto aspect_present = bits.read_bit();
  if (!aspect_present) return vui;
  if (*aspect_present) {
    auto idc = bits.read_bits(8);
    if (!idc) return vui;
    if (*idc == kExtendedSar) {
      auto width = bits.read_bits(16), height = bits.read_bits(16);
      if (!width || !height) return vui;
      vui.aspect_ratio = SampleAspectRatio{static_cast<std::uint16_t>(*width), static_cast<std::uint16_t>(*height)};
    } else if (*idc >= 1 && *idc <= kAspectRatios.size()) {
      vui.aspect_ratio = kAspectRatios[*idc - 1];
    }
  }
  auto overscan_present = bits.read_bit();
  if (!overscan_present || (*overscan_present && !bits.read_bit())) return vui;
  auto signal_type_present = bits.read_bit();
  if (!signal_type_present || !*signal_type_present) return vui;
  auto format = bits.read_bits(3), full_range = bits.read_bit(), described = bits.read_bit();
  if (!format || !full_range || !described) return vui;
  ColourDescription colour;
  colour.full_range = *full_range;
  if (*described) {
    auto primaries = bits.read_bits(8), transfer = bits.read_bits(8), matrix = bits.read_bits(8);
    if (!primaries || !transfer || !matrix) return vui;
    colour.primaries = static_cast<std::uint8_t>(*primaries);
    colour.transfer = static_cast<std::uint8_t>(*transfer);
    colour.matrix = static_cast<std::uint8_t>(*matrix);
  }
  if (*described || colour.full_range) vui.colour = colour;
  return vui;
}

}  // namespace plexo::vui
