// What a file holds: its tracks with their codecs (and the profile of H.264 and HEVC video), timescales, durations, sample and key-frame
// counts, picture sizes and audio rates, read from the movie box and, for a fragmented file,
// from its movie fragments. Nothing is decoded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/bytes.hpp"
#include "core/error.hpp"
#include "mp4_parser/movie_writer.hpp"

namespace plexo::mp4 {

enum class TrackKind : std::uint8_t { kVideo, kAudio, kOther };

struct ProbedTrack {
  std::uint32_t id = 0;
  TrackKind kind = TrackKind::kOther;
  std::string codec;             // type of the first sample entry, e.g. "avc1", "mp4a"
  std::uint32_t timescale = 0;   // media timescale
  double duration = 0;           // seconds
  std::uint64_t samples = 0;
  std::uint64_t key_frames = 0;  // sync samples; every sample when the track marks none
  std::optional<std::uint32_t> width, height;          // video
  std::optional<std::string> profile;  // video: H.264 or HEVC profile from the avcC or hvcC
  std::optional<std::uint32_t> sample_rate, channels;  // audio
  std::optional<std::string> language;  // the mdhd's ISO 639-2/T code, when it has one

  bool operator==(const ProbedTrack&) const = default;
};

struct ProbedFile {
  bool transport_stream = false;  // the MP4 probed is the file's conversion
  double duration = 0;            // seconds: the longest track
  std::vector<ProbedTrack> tracks;

  bool operator==(const ProbedFile&) const = default;
};

// A progressive or fragmented MP4; "Not an MP4 or a transport stream" unless the file
// opens_with_box.
Result<ProbedFile> probe_mp4(ByteView file);
// The same of a file staged in bounded memory (file_input.hpp: probe_mp4_file), which opens
// with a box header.
struct MediaInput;
Result<ProbedFile> probe_mp4(const MediaInput& staged);

// probe_mp4 of a movie (ftyp, moov) written with empty sample tables, each track holding the
// samples `summaries` gives for it, in track order: a file probed without its tables held.
Result<ProbedFile> probe_summarised_movie(ByteView movie, std::span<const SampleSummary> summaries);

}  // namespace plexo::mp4
