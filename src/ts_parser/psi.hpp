// Programme tables: the PAT names the PMT, the PMT names the elementary streams.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/bytes.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::ts {

// The PMT PID of the first programme of a PAT section (program_number 0 is the network PID).
std::optional<std::uint16_t> read_pat(ByteView payload, std::size_t payload_offset);

struct StreamEntry {
  std::uint16_t pid = 0;
  std::uint8_t stream_type = 0;
};

// An audio stream the programme converts.
struct AudioEntry {
  StreamEntry stream;
  AudioCodec codec = AudioCodec::kNone;
  Language language = kUndetermined;  // from its ISO 639 language descriptor
  // Private data without a descriptor naming its codec: taken for ADTS AAC when its first PES
  // data opens with an ADTS header, left out otherwise.
  bool confirm_adts = false;
};

// A stream of the PMT that is not converted, and why.
struct LeftOutStream {
  StreamEntry stream;
  const char* kind = "stream";  // "audio", "video" or "stream"
  const char* name = nullptr;   // its codec, when known
  const char* why = nullptr;    // nullptr: its codec is not converted
};

struct ProgrammeStreams {
  std::optional<StreamEntry> video;
  std::vector<AudioEntry> audio;  // in PMT order; at most one with AudioStreams::kFirst
  std::vector<LeftOutStream> left_out;  // in PMT order
};

// The streams a PMT section offers: the first H.264 or HEVC video stream (or, to be refused by
// name, the first video stream of another codec when there is none) and the audio streams of
// a converted codec (with AudioStreams::kFirst the first of them, one whose codec a descriptor
// or stream type names before private data that may hold ADTS). Every other stream is listed
// as left out. nullopt when the section offers neither video nor audio.
std::optional<ProgrammeStreams> read_pmt(ByteView payload, std::size_t payload_offset,
                                         AudioStreams audio_streams = AudioStreams::kFirst);

// The name of a converted audio codec, as the diagnostic lines give it.
const char* audio_codec_name(AudioCodec codec);

}  // namespace plexo::ts
