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

// The layer of the first frame sync in `es`, which gives size(), at(pos) and find(byte, from,
// to) (the first position in [from, to) holding that byte, as std::optional). Nothing when
// no sync is found.
template <class Stream>
std::optional<Layer> first_frame_layer(const Stream& es) {
  for (auto q = es.find(0xFF, 0, es.size()); q && *q + 1 < es.size(); q = es.find(0xFF, *q + 1, es.size()))
    if (auto layer = header_layer(es.at(*q + 1))) return layer;
  return std::nullopt;
}

}  // namespace plexo::mpeg_audio
