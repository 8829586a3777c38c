// The progressive MP4 writer for demultiplexed transport streams, and the whole TS-to-MP4
// conversion composed of the demultiplexer and this writer.
#pragma once

#include <memory>

#include "core/buffer.hpp"
#include "core/error.hpp"
#include "core/file_io.hpp"
#include "mp4_parser/movie_writer.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::mp4w {

inline constexpr std::uint32_t kVideoTrackId = 1;
inline constexpr std::uint32_t kAudioTrackId = 2;

// Lays out ftyp, moov, mdat for a demultiplexed stream; the plan keeps the stream, whose
// bytes it writes from. A programme with video or audio alone gives a file of that one track;
// fails with "No video data found" when it has neither.
Result<std::unique_ptr<mp4::PlannedOutput>> plan_mp4(ts::TsDemuxResult demuxed);
Result<Buffer> write_mp4(ts::TsDemuxResult demuxed);

// convert_ts_to_mp4: demultiplex `input`, then plan the MP4. The input must stay alive until
// the plan is written. With ts::AudioStreams::kAll every audio stream of the programme that
// gives frames is a track (in PMT order, alternatives of one another); the first otherwise.
Result<std::unique_ptr<mp4::PlannedOutput>> plan_ts_to_mp4(
    ByteView input,
    const ts::DiagnosticSink& diagnostics = ts::DiagnosticSink::standard_output(),
    ts::AudioStreams audio_streams = ts::AudioStreams::kFirst);

// convert_ts_to_mp4's movie without its file, for the probe: the stream is demultiplexed a
// piece at a time and its access units and audio frames counted as they complete, so that
// memory holds no table of them. `movie` is the ftyp and moov the conversion writes but for
// empty sample tables, `tracks` what each track's tables would list, in track order
// (mp4::probe_summarised_movie reads the two). Fails as the conversion does.
struct SummarisedMovie {
  Buffer movie;
  std::vector<mp4::SampleSummary> tracks;
};
Result<SummarisedMovie> summarise_ts(ByteView input, ts::AudioStreams audio_streams = ts::AudioStreams::kFirst);

// convert_ts_to_fmp4: the same tracks, sample descriptions and timing as a fragmented MP4
// (mp4_parser/fragment_writer.hpp), a fragment at the first key frame at or after every
// `fragment_duration` seconds of video. The later track's delay is its first decode time.
// Fails with "Invalid fragment duration" unless 1 ms <= fragment_duration <= 10^6 s (below a
// millisecond a duration is a typing slip, not a fragment length).
inline constexpr double kMinFragmentDuration = 1e-3;
Status check_fragment_duration(double seconds);
Result<std::unique_ptr<mp4::PlannedOutput>> plan_fmp4(ts::TsDemuxResult demuxed, double fragment_duration);
Result<std::unique_ptr<mp4::PlannedOutput>> plan_ts_to_fmp4(
    ByteView input, double fragment_duration,
    const ts::DiagnosticSink& diagnostics = ts::DiagnosticSink::standard_output(),
    ts::AudioStreams audio_streams = ts::AudioStreams::kFirst);

// convert_ts_to_mp4 from the file open at `in` to a new, empty file at `out`, in memory
// bounded by the stream's tables: the stream is demultiplexed window by window (only the bytes
// a reader may still need are held), then the MP4's head is written and the media of every
// track in one more pass over the input, pieces taken in file order and each track written
// at its offset (an output that is not a regular file, a pipe, gets the tracks one after the
// other). Returns the number of bytes written.
Result<std::uint64_t> convert_file(int in, int out,
                                   const ts::DiagnosticSink& diagnostics = ts::DiagnosticSink::standard_output(),
                                   ts::AudioStreams audio_streams = ts::AudioStreams::kFirst);

}  // namespace plexo::mp4w
