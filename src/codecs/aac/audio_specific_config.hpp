// AAC's AudioSpecificConfig in its two-byte form (object type, sampling frequency index,
// channel configuration): what an ADTS header says about its stream, and what an MP4 audio
// track carries in its esds.
#pragma once

#include <array>
#include <cstdint>

namespace plexo::aac {

// PCM samples per AAC frame.
inline constexpr std::uint32_t kFrameSamples = 1024;

inline constexpr std::array<std::uint32_t, 13> kSamplingFrequencies = {
    96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
inline constexpr std::uint8_t k48kHzIndex = 3;

struct AudioSpecificConfig {
  std::uint8_t object_type = 2;                         // 2 = AAC LC
  std::uint8_t sampling_frequency_index = k48kHzIndex;  // into kSamplingFrequencies
  std::uint8_t channel_configuration = 2;

  // Whether the two-byte form holds it: a frequency from the table (not an explicit one) and
  // an object type below the escape value 31.
  bool fits_two_bytes() const {
    return sampling_frequency_index < kSamplingFrequencies.size() && object_type >= 1 && object_type < 31;
  }

  // For a configuration that fits_two_bytes().
  std::uint32_t sample_rate() const { return kSamplingFrequencies[sampling_frequency_index]; }

  std::uint16_t channel_count() const {
    if (channel_configuration >= 1 && channel_configuration <= 6) return channel_configuration;
    if (channel_configuration == 7) return 8;
    return 2;  // 0: the layout is in the bitstream; stereo is the usual reading
  }

  std::array<std::uint8_t, 2> bytes() const {
    return {static_cast<std::uint8_t>((object_type << 3) | (sampling_frequency_index >> 1)),
            static_cast<std::uint8_t>(((sampling_frequency_index & 1) << 7) |
                                      ((channel_configuration & 0x0F) << 3))};
  }
};

}  // namespace plexo::aac
