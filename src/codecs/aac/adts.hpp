// The ADTS header that frames each AAC frame of a transport stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "codecs/aac/audio_specific_config.hpp"

namespace plexo::aac {

// The fixed and variable header without the CRC; a CRC of two more bytes follows when
// protection_absent is 0.
inline constexpr std::size_t kAdtsHeaderSize = 7;
using AdtsHeaderBytes = std::uint8_t[kAdtsHeaderSize];

// The 12-bit syncword and layer 0, as every ADTS header has.
constexpr bool adts_sync(std::uint8_t b0, std::uint8_t b1) { return b0 == 0xFF && (b1 & 0xF6) == 0xF0; }

struct AdtsHeader {
  std::size_t header_size = kAdtsHeaderSize;  // 9 with the CRC
  std::size_t frame_length = 0;               // header included
  AudioSpecificConfig config;                 // object type = profile + 1
};

// Nothing unless the bytes open with a syncword and the frame can hold its own header:
// transmission errors give shorter lengths, which would otherwise end the framing.
inline std::optional<AdtsHeader> read_adts_header(const AdtsHeaderBytes& h) {
  if (!adts_sync(h[0], h[1])) return std::nullopt;
  AdtsHeader header;
  header.header_size = (h[1] & 0x01) ? kAdtsHeaderSize : kAdtsHeaderSize + 2;  // protection_absent
  header.frame_length = (std::size_t{h[3] & 0x03u} << 11) | (std::size_t{h[4]} << 3) | (h[5] >> 5);
  if (header.frame_length < header.header_size) return std::nullopt;
  header.config.object_type = static_cast<std::uint8_t>(((h[2] >> 6) & 0x03) + 1);
  header.config.sampling_frequency_index = static_cast<std::uint8_t>((h[2] >> 2) & 0x0F);
  header.config.channel_configuration = static_cast<std::uint8_t>(((h[2] & 0x01) << 2) | (h[3] >> 6));
  return header;
}

}  // namespace plexo::aac
