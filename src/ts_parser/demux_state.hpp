// What the packet loop hands to the elementary-stream handlers.
#pragma once

#include <cstddef>

#include "core/bytes.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::ts {

// One packet's payload: from the payload offset to the end of the 188-byte packet.
struct PacketPayload {
  ByteView bytes;
  std::size_t offset;        // payload offset within the packet
  bool unit_start;           // payload_unit_start_indicator
};

// A PES start whose payload is shorter than a minimal PES header carries nothing usable.
inline constexpr std::size_t kMinPesStartOffset = 180;

void handle_video_packet(TsDemuxResult& result, const PacketPayload& packet);
void handle_audio_packet(TsDemuxResult& result, const PacketPayload& packet);
void flush_audio(TsDemuxResult& result);

// The first SPS and PPS of the collected stream, and the picture size from that SPS.
void find_parameter_sets(TsDemuxResult& result);

// Width and height from an SPS NAL unit (header byte first); nullopt when it cannot be read
// far enough.
struct PictureSize {
  std::uint16_t width;
  std::uint16_t height;
};
std::optional<PictureSize> read_sps_dimensions(ByteView sps);

// Where the elementary-stream bytes of a PES start begin in its payload, or nullopt when the
// payload does not begin a PES packet or holds nothing after the header.
std::optional<std::size_t> pes_data_offset(ByteView payload);

}  // namespace plexo::ts
