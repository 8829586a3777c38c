// Programme tables: the PAT names the PMT, the PMT names the elementary streams.
#pragma once

#include <cstdint>
#include <optional>

#include "core/bytes.hpp"

namespace plexo::ts {

// The PMT PID of the first programme of a PAT section (program_number 0 is the network PID).
std::optional<std::uint16_t> read_pat(ByteView payload, std::size_t payload_offset);

struct ProgrammeStreams {
  std::uint16_t video_pid;
  std::uint16_t audio_pid;
  std::uint8_t video_stream_type;
  std::uint8_t audio_stream_type;
};

// The first video and the first audio entry of a PMT section; nullopt unless both exist.
std::optional<ProgrammeStreams> read_pmt(ByteView payload, std::size_t payload_offset);

}  // namespace plexo::ts
