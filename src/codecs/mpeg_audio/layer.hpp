// Which layer an MPEG audio stream carries, from the layer bits of its first frame header.
// Layer bits 00 are no MPEG audio layer but an ADTS header: AAC that a muxer labelled as MPEG
// audio.
#pragma once

#include <cstdint>
#include <optional>

namespace plexo::mpeg_audio {

enum class Layer : std::uint8_t { kAdts, kLayer1, kLayer2, kLayer3 };

// The layer named by a header's second byte, when it continues the 11-bit frame sync.
constexpr std::optional<Layer> header_layer(std::uint8_t second_byte) {
  if ((second_byte & 0xE0) != 0xE0) return std::nullopt;
  switch ((second_byte >> 1) & 0x03) {
    case 0: return Layer::kAdts;
    case 1: return Layer::kLayer3;
    case 2: return Layer::kLayer2;
    default: return Layer::kLayer1;
  }
}

}  // namespace plexo::mpeg_audio
