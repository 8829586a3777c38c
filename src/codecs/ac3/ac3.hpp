// AC-3 and E-AC-3 syncframes: the header that opens each one (frame size, sample rate,
// audio blocks, the bitstream information an MP4 sample entry needs), and the records an MP4
// track carries for them: the AC3SpecificBox (dac3) and the EC3SpecificBox (dec3) payloads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/buffer.hpp"
#include "core/bytes.hpp"

namespace plexo::ac3 {

// The syncword, and the bytes that give a syncframe's size, sample rate, bsid, acmod and lfeon.
inline constexpr std::uint8_t kSync0 = 0x0B, kSync1 = 0x77;
inline constexpr std::size_t kHeaderSize = 8;
// PCM samples per channel in an audio block; an AC-3 syncframe holds six blocks.
inline constexpr std::uint32_t kBlockSamples = 256;
inline constexpr std::uint32_t kFrameBlocks = 6;

constexpr bool frame_sync(std::uint8_t b0, std::uint8_t b1) { return b0 == kSync0 && b1 == kSync1; }

enum class StreamType : std::uint8_t { kIndependent = 0, kDependent = 1, kConverted = 2 };

struct SyncFrame {
  bool enhanced = false;  // E-AC-3 (bsid 11 to 16)
  std::uint32_t frame_size = 0;  // bytes, syncword included
  std::uint32_t sample_rate = 0;
  std::uint8_t blocks = kFrameBlocks;
  std::uint8_t fscod = 0;
  std::uint8_t bsid = 0;
  std::uint8_t bsmod = 0;
  std::uint8_t acmod = 0;
  std::uint8_t lfeon = 0;
  std::uint8_t bit_rate_code = 0;  // AC-3: frmsizecod / 2
  // E-AC-3: which substream this syncframe carries.
  StreamType stream_type = StreamType::kIndependent;
  std::uint8_t substream_id = 0;
  std::optional<std::uint16_t> channel_map;  // a dependent substream's custom channel map

  bool independent() const { return stream_type != StreamType::kDependent; }
  std::uint16_t channel_count() const;
};

// Nothing unless `bytes` (at least kHeaderSize of them) open a syncframe with a known sample
// rate and size: AC-3 (bsid up to 10; 9 and 10 halve and quarter the rate) or E-AC-3. The
// fields after the header (E-AC-3's channel map and bsmod) are read as far as `bytes` reach.
std::optional<SyncFrame> read_syncframe(ByteView bytes);

// The AC3SpecificBox payload: fscod, bsid, bsmod, acmod, lfeon, bit_rate_code.
void put_dac3(Buffer& out, const SyncFrame& frame);

// An E-AC-3 sample as an EC3SpecificBox describes it: its independent substreams, each with
// the dependent substreams that follow it and the channel locations they add.
struct Ec3Config {
  struct Substream {
    SyncFrame frame;
    std::uint8_t dependents = 0;
    std::uint16_t channel_locations = 0;  // 9 bits
  };
  std::array<Substream, 8> substreams{};
  std::uint8_t count = 0;
  std::uint32_t sample_bytes = 0;  // of the whole sample, for the data rate

  // Adds the next syncframe of the sample; false when the sample cannot hold it (a dependent
  // substream before any independent one, or more substreams than an EC3SpecificBox lists).
  bool add(const SyncFrame& frame);
  std::uint16_t channel_count() const;
};

// The EC3SpecificBox payload: data_rate (kbit/s), then each independent substream.
void put_dec3(Buffer& out, const Ec3Config& config);

}  // namespace plexo::ac3
