// The 4-byte header that opens every MPEG-1/2 audio frame (layers I, II and III, MPEG-2.5
// included): what it says about the stream and how long its frame is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "codecs/mpeg_audio/layer.hpp"

namespace plexo::mpeg_audio {

inline constexpr std::size_t kHeaderSize = 4;

// The 11-bit frame sync.
constexpr bool frame_sync(std::uint8_t b0, std::uint8_t b1) { return b0 == 0xFF && (b1 & 0xE0) == 0xE0; }

struct FrameHeader {
  // 3 = MPEG-1, 2 = MPEG-2 (lower sampling frequencies), 0 = MPEG-2.5.
  std::uint8_t version = 3;
  Layer layer = Layer::kLayer3;
  std::uint32_t sample_rate = 0;
  std::uint32_t bitrate = 0;           // bits per second
  std::uint16_t frame_length = 0;      // bytes, header included
  std::uint16_t samples = 0;           // PCM samples per channel in the frame
  std::uint8_t channels = 2;           // 1 for single-channel mode

  bool mpeg1() const { return version == 3; }
};

// Nothing unless the header has the frame sync, a known version and layer, a bitrate from
// the table (the free format, index 0, has no length of its own) and a known sample rate.
std::optional<FrameHeader> read_frame_header(const std::uint8_t (&h)[kHeaderSize]);

// The same stream's frame at the highest bitrate its version and layer allow, padded: the
// most a frame of it may take.
FrameHeader highest_rate_frame(const FrameHeader& header);

}  // namespace plexo::mpeg_audio
