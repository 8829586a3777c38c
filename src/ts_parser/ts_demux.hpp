// The MPEG transport stream demultiplexer: one programme, one H.264 and one ADTS AAC stream.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/buffer.hpp"
#include "core/bytes.hpp"
#include "core/error.hpp"
#include "ts_parser/diagnostics.hpp"

namespace plexo::ts {

// What one PES header says about time: 33-bit 90 kHz values exactly as read.
struct PesTimestamps {
  std::optional<std::uint64_t> pts;
  std::optional<std::uint64_t> dts;
};

// The stream's own audio description, from its first ADTS header.
struct AdtsConfig {
  std::uint8_t object_type = 2;               // ADTS profile + 1 (2 = AAC LC)
  std::uint8_t sampling_frequency_index = 3;  // 3 = 48000 Hz
  std::uint8_t channel_configuration = 2;
};

struct TsDemuxResult {
  std::optional<std::uint64_t> audio_pts;  // scan state: PTS of the latest audio PES start
  Buffer video_es;                         // Annex B stream, PES headers removed
  std::vector<PesTimestamps> video_pes_times;  // one per video PES start
  // Parallel to video_pes_times: where in video_es each PES's payload begins, so that a
  // sample can be matched with the PES that carries its first byte.
  std::vector<std::uint64_t> video_pes_es_offsets;
  std::vector<std::vector<std::uint8_t>> audio_frames;  // raw AAC frames, ADTS headers removed
  std::vector<std::optional<std::uint64_t>> audio_frame_pts;  // parallel to audio_frames
  Buffer audio_pending;  // scratch: audio bytes not yet cut into frames
  std::size_t audio_resume = 0;  // scratch: no ADTS header starts before this pending byte
  std::optional<AdtsConfig> audio_config;  // from the first complete ADTS frame
  std::optional<std::vector<std::uint8_t>> sps;
  std::optional<std::vector<std::uint8_t>> pps;
  std::optional<std::uint16_t> video_pid;
  std::optional<std::uint16_t> audio_pid;
  std::uint16_t width = 1920;
  std::uint16_t height = 1080;
};

// Scans the whole stream once. Fails only with "No valid TS sync byte found"; writes the
// diagnostic lines to `diagnostics` (the process's standard output unless the caller says).
Result<TsDemuxResult> demux_ts(ByteView input,
                               const DiagnosticSink& diagnostics = DiagnosticSink::standard_output());

// The timestamps at the start of a packet payload that begins a PES packet.
PesTimestamps read_pes_header(ByteView payload);

}  // namespace plexo::ts
