// Programme tables: the PAT names the PMT, the PMT names the elementary streams.
#pragma once

#include <cstdint>
#include <optional>

#include "core/bytes.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::ts {

// The PMT PID of the first programme of a PAT section (program_number 0 is the network PID).
std::optional<std::uint16_t> read_pat(ByteView payload, std::size_t payload_offset);

struct StreamEntry {
  std::uint16_t pid = 0;
  std::uint8_t stream_type = 0;
};

struct ProgrammeStreams {
  std::optional<StreamEntry> video;
  std::optional<StreamEntry> audio;
  AudioCodec audio_codec = AudioCodec::kNone;
  // The first audio stream of a codec that is not converted, when no other audio is: the
  // programme converts without it and says so.
  std::optional<StreamEntry> left_out_audio;
  const char* left_out_name = nullptr;
};

// The streams a PMT section offers: the first H.264 or HEVC video stream (or, to be refused by
// name, the first video stream of another codec when there is none) and the first audio
// stream of a converted codec. nullopt when the section offers neither.
std::optional<ProgrammeStreams> read_pmt(ByteView payload, std::size_t payload_offset);

}  // namespace plexo::ts
