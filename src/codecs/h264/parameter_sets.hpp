// H.264 parameter sets read as far as a container needs them: an SPS's id, picture size,
// chroma format and bit depths, and how its pictures are shown (the start of its VUI); and
// the SPS a PPS refers to.
#pragma once

#include <cstdint>
#include <optional>

#include "codecs/video_usability.hpp"
#include "core/bytes.hpp"

namespace plexo::h264 {

struct PictureSize {
  std::uint16_t width;
  std::uint16_t height;
};
struct SequenceParameters {
  std::uint32_t id;
  PictureSize size;
  // As coded; the profiles without these fields imply 4:2:0 at 8 bits.
  std::uint32_t chroma_format_idc = 1;
  std::uint32_t bit_depth_luma_minus8 = 0;
  std::uint32_t bit_depth_chroma_minus8 = 0;
  // Empty when the SPS has no VUI or ends before its fields.
  vui::VideoUsability usability;
};

// The fields of an SPS (NAL header byte first), read once its size fields are reached (the
// VUI is read where present, as far as the SPS goes); nullopt when it cannot be read that far or names an id H.264 does not allow
// (above 31).
std::optional<SequenceParameters> read_sps(ByteView sps);
// The SPS id a PPS refers to; nullopt when its two leading ids cannot be read or are out of
// range.
std::optional<std::uint32_t> read_pps_sps_id(ByteView pps);
// A PPS's own id and the SPS id it refers to, read as read_pps_sps_id reads them.
struct PictureParameterIds {
  std::uint32_t pps_id;
  std::uint32_t sps_id;
};
std::optional<PictureParameterIds> read_pps_ids(ByteView pps);

}  // namespace plexo::h264
