// The video codecs this system repackages, H.264 and HEVC, seen through what they share: NAL
// units whose types say which are slices, which are key pictures and which travel in the
// sample entry's decoder configuration rather than in the samples.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "codecs/h264/h264.hpp"
#include "codecs/hevc/hevc.hpp"
#include "core/bytes.hpp"

namespace plexo {

enum class VideoCodec : std::uint8_t { kH264, kHevc };

inline const char* codec_name(VideoCodec codec) { return codec == VideoCodec::kH264 ? "H.264" : "HEVC"; }

inline std::uint8_t nal_type(VideoCodec codec, std::uint8_t header_byte) {
  return codec == VideoCodec::kH264 ? h264::nal_type(header_byte) : hevc::nal_type(header_byte);
}
// A coded slice (of any picture).
inline bool is_slice(VideoCodec codec, std::uint8_t type) {
  return codec == VideoCodec::kH264 ? h264::is_vcl(type) : hevc::is_vcl(type);
}
// A slice of a picture that decodes without earlier ones: IDR for H.264, IRAP for HEVC.
inline bool is_key_slice(VideoCodec codec, std::uint8_t type) {
  return codec == VideoCodec::kH264 ? type == h264::kIdrSlice : hevc::is_irap(type);
}
inline bool opens_access_unit(VideoCodec codec, ByteView nal, bool unit_has_slice) {
  return codec == VideoCodec::kH264 ? h264::opens_access_unit(nal, unit_has_slice)
                                    : hevc::opens_access_unit(nal, unit_has_slice);
}
// Parameter sets and delimiters: an MP4 carries them in the sample entry, or not at all.
inline bool stays_out_of_samples(VideoCodec codec, std::uint8_t type) {
  if (codec == VideoCodec::kH264)
    return type == h264::kSps || type == h264::kPps || type == h264::kAccessUnitDelimiter;
  return hevc::is_parameter_set(type) || type == hevc::kAccessUnitDelimiter;
}

// A NAL unit type as a bit of a 64-bit set (HEVC types reach 63).
constexpr std::uint64_t type_bit(std::uint8_t type) { return std::uint64_t{1} << (type & 0x3F); }

// The codec of a visual sample entry type, and the box holding its decoder configuration.
inline std::optional<VideoCodec> codec_of_sample_entry(FourCC type) {
  if (type == FourCC("avc1") || type == FourCC("avc3")) return VideoCodec::kH264;
  if (type == FourCC("hvc1") || type == FourCC("hev1")) return VideoCodec::kHevc;
  return std::nullopt;
}
inline FourCC configuration_box(VideoCodec codec) {
  return codec == VideoCodec::kH264 ? FourCC("avcC") : FourCC("hvcC");
}
inline std::optional<nal::DecoderConfiguration> read_decoder_configuration(VideoCodec codec, ByteView payload) {
  return codec == VideoCodec::kH264 ? h264::read_decoder_configuration(payload)
                                    : hevc::read_decoder_configuration(payload);
}
inline std::string profile_name(VideoCodec codec, const nal::DecoderConfiguration& config) {
  return codec == VideoCodec::kH264 ? h264::profile_name(config.profile_idc, config.constraints)
                                    : hevc::profile_name(config.profile_idc);
}

}  // namespace plexo
