#include "codecs/mpeg_audio/frame_header.hpp"

#include <array>

namespace plexo::mpeg_audio {
namespace {

// kbit/s by bitrate_index 1..14; [0] is MPEG-1, [1] MPEG-2 and 2.5; then by layer I, II, III.
constexpr std::uint16_t kBitrates[2][3][14] = {
    {{32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
    {{32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};

// Hz by sampling_frequency index 0..2, for MPEG-1; MPEG-2 halves them and MPEG-2.5 quarters.
constexpr std::array<std::uint32_t, 3> kSampleRates = {44100, 48000, 32000};

constexpr int layer_index(Layer layer) {
  return layer == Layer::kLayer1 ? 0 : layer == Layer::kLayer2 ? 1 : 2;
}

// Layer I counts in 4-byte slots of 384 samples; layers II and III in bytes of 1152 samples,
// MPEG-2 layer III in bytes of 576.
std::uint16_t frame_length(const FrameHeader& header, unsigned padding) {
  if (header.layer == Layer::kLayer1)
    return static_cast<std::uint16_t>((12 * header.bitrate / header.sample_rate + padding) * 4);
  return static_cast<std::uint16_t>(header.samples / 8 * header.bitrate / header.sample_rate + padding);
}

}  // namespace

std::optional<FrameHeader> read_frame_header(const std::uint8_t (&h)[kHeaderSize]) {
  if (!frame_sync(h[0], h[1])) return std::nullopt;
  const auto layer = header_layer(h[1]);
  const std::uint8_t version = (h[1] >> 3) & 0x03;
  if (!layer || *layer == Layer::kAdts || version == 1) return std::nullopt;  // 01 is reserved
  const unsigned bitrate_index = h[2] >> 4, rate_index = (h[2] >> 2) & 0x03;
  if (bitrate_index == 0 || bitrate_index == 15 || rate_index == 3) return std::nullopt;

  FrameHeader header;
  header.version = version;
  header.layer = *layer;
  header.sample_rate = kSampleRates[rate_index] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
  header.bitrate = std::uint32_t{kBitrates[version == 3 ? 0 : 1][layer_index(*layer)][bitrate_index - 1]} * 1000;
  header.samples = *layer == Layer::kLayer1 ? 384 : (*layer == Layer::kLayer3 && version != 3) ? 576 : 1152;
  header.frame_length = frame_length(header, (h[2] >> 1) & 0x01);
  header.channels = (h[3] >> 6) == 3 ? 1 : 2;
  return header;
}

FrameHeader highest_rate_frame(const FrameHeader& header) {
  FrameHeader highest = header;
  highest.bitrate = std::uint32_t{kBitrates[header.mpeg1() ? 0 : 1][layer_index(header.layer)][13]} * 1000;
  highest.frame_length = frame_length(highest, 1);
  return highest;
}

}  // namespace plexo::mpeg_audio
