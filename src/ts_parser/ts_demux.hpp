// The MPEG transport stream demultiplexer: one programme, its H.264 or HEVC video stream and its
// audio stream (ADTS AAC, MPEG audio, AC-3 or E-AC-3), either of which may be missing.
//
// The scan copies no media bytes. It records where each elementary stream's bytes lie in the
// input (packet payloads without their PES headers) and hands the writer access units and
// audio frames as ranges of those streams, each with its own timestamps; the writer copies
// them from the input straight into the file.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "codecs/aac/audio_specific_config.hpp"
#include "codecs/ac3/ac3.hpp"
#include "codecs/sei.hpp"
#include "codecs/mpeg_audio/frame_header.hpp"
#include "codecs/video_codec.hpp"
#include "core/messages.hpp"
#include "core/bytes.hpp"
#include "core/error.hpp"
#include "core/file_io.hpp"
#include "core/time.hpp"
#include "ts_parser/diagnostics.hpp"
#include "ts_parser/elementary_stream.hpp"

namespace plexo::ts {

// What one PES header says about time: 33-bit 90 kHz values exactly as read.
struct PesTimestamps {
  std::optional<std::uint64_t> pts;
  std::optional<std::uint64_t> dts;
};

// One NAL unit of an access unit, as it lies in the video elementary stream. Twelve bytes:
// streams of tiny pictures hold millions of them.
struct [[gnu::packed]] NalRange {
  std::uint64_t header : 48 = 0;           // position of the NAL header byte
  std::uint64_t start_code_length : 8 = 4;
  std::uint64_t type : 8 = 0;              // the codec's nal_unit_type
  std::uint32_t size = 0;                  // header byte to the next start code
};
static_assert(sizeof(NalRange) == 12);

// One picture: its NAL units (parameter sets and delimiters left out, since they travel in
// avcC or hvcC or carry nothing an MP4 reader needs), from `first_nal` to where the next
// picture's begin. Eight bytes; its timestamps, when it has any, are kept apart (UnitStamp).
struct AccessUnit {
  std::uint64_t first_nal : 60 = 0;  // index into TsDemuxResult::nal_units
  // A decoder may begin here: the unit holds an IDR (H.264) or IRAP (HEVC) slice, or an
  // H.264 recovery-point SEI (`recovery`, then, for a picture that is not an IDR).
  std::uint64_t sync : 1 = 0;
  std::uint64_t recovery : 1 = 0;
  // HEVC leading pictures, as a sample's is_leading flags say: 1 a RASL picture (it needs
  // pictures before the random-access picture it follows), 3 a RADL one; otherwise 0.
  std::uint64_t leading : 2 = 0;
};
static_assert(sizeof(AccessUnit) == 8);

// The timestamps of the PES an access unit begins in, when it is the first access unit to
// begin there: few pictures carry them, so they are listed apart, in unit order.
struct UnitStamp {
  std::uint64_t unit = 0;  // index into TsDemuxResult::access_units
  PesTimestamps times;
};

// One audio sample as it lies in the audio elementary stream: a raw AAC frame (ADTS header
// removed), an MPEG audio frame or an AC-3 syncframe (header kept), or an E-AC-3 syncframe
// with the substreams that follow it. Kept to eight bytes: streams of tiny frames hold
// millions of them.
struct AudioFrame {
  std::uint64_t begin : 48;
  std::uint64_t size : 16;  // an ADTS frame is at most 8191 bytes; samples are held below 64 KiB
};

// The first audio frame that begins a PES carrying a PTS: every other frame's time follows
// from it and the frame duration.
struct AudioAnchor {
  std::size_t frame = 0;
  std::uint64_t pts = 0;
};

// Where the audio's timestamps show frames missing (packets lost): frame `frame` begins
// `ticks` (90 kHz) later than counting frames (and the gaps before) says. Only the first
// frame to begin in a PES has a PTS; one more than half a frame later than the count is a
// gap, which the frame before it lasts longer to keep; one more than half a frame earlier
// sets the count again (a discontinuity: no duration changes); nearer PTS (jitter,
// rounding) change nothing.
struct AudioGap {
  std::size_t frame = 0;
  std::uint64_t ticks = 0;
};

// How long each of the audio stream's frames lasts: `frame_samples` samples per channel at
// `sample_rate`, as its first frame says (AAC LC at 48 kHz when it says nothing usable).
struct AudioFrameClock {
  std::uint32_t sample_rate = 48000;
  std::uint32_t frame_samples = aac::kFrameSamples;
  // The 90 kHz ticks that `frames` frames last, rounded to the nearest.
  std::uint64_t ticks(std::uint64_t frames) const {
    const u128 scaled = u128{frames} * frame_samples * 90000;
    return static_cast<std::uint64_t>((2 * scaled + sample_rate) / (2 * std::uint64_t{sample_rate}));
  }
};

inline constexpr std::uint8_t kStreamTypeMpeg1Video = 0x01;
inline constexpr std::uint8_t kStreamTypeMpeg2Video = 0x02;
inline constexpr std::uint8_t kStreamTypeMpeg4Visual = 0x10;
inline constexpr std::uint8_t kStreamTypeVc1 = 0xEA;
inline constexpr std::uint8_t kStreamTypeH264 = 0x1B;
inline constexpr std::uint8_t kStreamTypeHevc = 0x24;
inline constexpr std::uint8_t kStreamTypeVvc = 0x33;
inline constexpr std::uint8_t kStreamTypeMpeg1Audio = 0x03;
inline constexpr std::uint8_t kStreamTypeMpeg2Audio = 0x04;
inline constexpr std::uint8_t kStreamTypeAdtsAac = 0x0F;
inline constexpr std::uint8_t kStreamTypeAc3 = 0x81;
inline constexpr std::uint8_t kStreamTypeEac3 = 0x87;

// Parameter sets that replace those the pictures used so far: an SPS, PPS or VPS whose content
// changed under an id already held (an encoder restart, a splice, a joined recording). Each
// generation is described by a sample entry of its own; its first picture is a key picture.
// A set repeated unchanged, or one under another id, begins none.
struct ParameterGeneration {
  std::uint64_t first_unit = 0;  // index into TsDemuxResult::access_units of its first picture
  std::vector<std::uint8_t> vps, sps, pps;  // vps: HEVC only
  std::uint16_t width = 0, height = 0;
};
// A stream that changes its parameter sets more often is refused ("Too many parameter set
// changes"): each generation becomes a sample entry that every reader of the file holds.
inline constexpr std::size_t kMaxParameterGenerations = 1000;

// The codec of the chosen audio stream. MPEG audio streams may carry ADTS frames that a muxer
// labelled as MPEG audio: their first frame decides.
enum class AudioCodec : std::uint8_t { kNone, kAac, kMpegAudio, kAc3, kEac3 };

// An ISO 639-2 language code as the PMT's language descriptor gives it: three lowercase
// letters, "und" when the stream names none (or names it unreadably).
using Language = std::array<char, 3>;
inline constexpr Language kUndetermined = {'u', 'n', 'd'};

// One audio stream of the programme: where its bytes lie in the input, its frames, and what
// the PMT and its first frame say of it.
struct DemuxedAudio {
  ElementaryStream audio;  // the audio stream's bytes in the input
  std::vector<AudioFrame> audio_frames;
  std::optional<AudioAnchor> audio_anchor;
  std::vector<AudioGap> audio_gaps;  // in frame order
  std::optional<aac::AudioSpecificConfig> audio_config;  // from the first ADTS header
  std::optional<mpeg_audio::FrameHeader> mpeg_audio_header;  // the first MPEG audio frame's
  std::optional<ac3::SyncFrame> ac3_frame;                    // the first AC-3 syncframe
  std::optional<ac3::Ec3Config> ec3_config;                   // the first E-AC-3 sample's substreams
  std::optional<std::uint16_t> audio_pid;
  std::uint8_t audio_stream_type = 0;
  AudioCodec audio_codec = AudioCodec::kNone;
  Language language = kUndetermined;
};

// Which of the programme's audio streams are demultiplexed: the first in PMT order, or every
// one of a converted codec (the first is the result's own, the others `more_audio`).
enum class AudioStreams : std::uint8_t { kFirst, kAll };

// The programme's video stream and its first audio stream (the base), and with
// AudioStreams::kAll its other audio streams in PMT order.
struct TsDemuxResult : DemuxedAudio {
  VideoCodec video_codec = VideoCodec::kH264;  // of the chosen stream, when it is H.264 or HEVC
  ElementaryStream video;  // the video stream's bytes in the input
  std::vector<NalRange> nal_units;
  // Only those holding a slice, from the first that follows both parameter sets and is an
  // IDR picture or has no picture before it.
  std::vector<AccessUnit> access_units;
  std::vector<UnitStamp> unit_stamps;
  std::optional<std::vector<std::uint8_t>> vps;  // HEVC only
  std::optional<std::vector<std::uint8_t>> sps;
  std::optional<std::vector<std::uint8_t>> pps;
  // The static HDR metadata of the SEI that come with the first picture kept (and the
  // pictures before it).
  sei::HdrMetadata hdr;
  std::optional<std::uint16_t> video_pid;
  std::uint8_t video_stream_type = 0;
  std::uint16_t width = 1920;
  std::uint16_t height = 1080;
  // Pictures were left out because no readable parameter sets came before them; one of them
  // was an IDR picture.
  bool pictures_without_parameter_sets = false;
  bool key_frame_without_parameter_sets = false;
  // Generations after the first (which `vps`, `sps`, `pps`, `width`, `height` hold), in unit
  // order; release() moves their first units down with the access units, to no less than 0.
  std::vector<ParameterGeneration> later_parameters;
  // Pictures left out after a change of parameter sets, before the next key picture.
  std::uint64_t pictures_dropped_at_changes = 0;
  bool too_many_parameter_changes = false;  // more than kMaxParameterGenerations generations
  std::vector<DemuxedAudio> more_audio;

  // The NAL units of access unit `i`: up to the next unit's, or to the end for the last one
  // (once the stream is finished: until then the NAL units of a picture still open follow).
  std::span<const NalRange> unit_nals(std::size_t i) const {
    const std::size_t end = i + 1 < access_units.size() ? access_units[i + 1].first_nal : nal_units.size();
    return std::span<const NalRange>(nal_units).subspan(access_units[i].first_nal, end - access_units[i].first_nal);
  }
  // Access unit `i` as an MP4 sample: a 4-byte length before each NAL unit. A unit past
  // 4 GiB makes the sample size unrepresentable; the writer refuses it.
  std::uint64_t sample_size(std::size_t i) const {
    std::uint64_t size = 0;
    for (const NalRange& nal : unit_nals(i)) size += 4 + std::uint64_t{nal.size};
    return size;
  }
};

// The generation of access unit `unit`: 0 for the first, k for later_parameters[k - 1].
inline std::size_t parameter_generation(const TsDemuxResult& result, std::uint64_t unit) {
  auto it = std::upper_bound(result.later_parameters.begin(), result.later_parameters.end(), unit,
                             [](std::uint64_t u, const ParameterGeneration& g) { return u < g.first_unit; });
  return static_cast<std::size_t>(it - result.later_parameters.begin());
}

inline const char* no_parameter_sets(const TsDemuxResult& result) {
  return result.video_codec == VideoCodec::kHevc ? msg::kNoHevcParameterSets : msg::kNoParameterSets;
}
// Whether every parameter set the stream's pictures need is held.
inline bool has_parameter_sets(const TsDemuxResult& result) {
  return result.sps && result.pps && (result.video_codec != VideoCodec::kHevc || result.vps);
}

// Scans the whole stream once. Fails only with "No valid TS sync byte found"; writes the
// diagnostic lines to `diagnostics` (the process's standard output unless the caller says).
// The result refers to `input`, which must outlive it.
// With `VideoUnits::kUntilFirstKeyFrame` the video's access units end with the first that
// holds an IDR (IRAP) slice once the parameter sets are known (what a thumbnail needs); the
// diagnostic lines are the same.
enum class VideoUnits : std::uint8_t { kAll, kUntilFirstKeyFrame };
Result<TsDemuxResult> demux_ts(ByteView input,
                               const DiagnosticSink& diagnostics = DiagnosticSink::standard_output(),
                               VideoUnits video_units = VideoUnits::kAll,
                               AudioStreams audio_streams = AudioStreams::kFirst);

// demux_ts over a file read window by window: only the bytes a reader may still look at are
// held (the packets being walked, the NAL unit being read, the audio frame being framed), so
// memory holds the tables, not the media. The result views the file's address range
// (`file.view()`), whose media a writer copies from the file by offset; it and the diagnostic
// lines are those of demux_ts over the file's bytes.
Result<TsDemuxResult> demux_ts_file(InputFile& file,
                                    const DiagnosticSink& diagnostics = DiagnosticSink::standard_output(),
                                    AudioStreams audio_streams = AudioStreams::kFirst);

// The demultiplexer for a stream that arrives in pieces, cut anywhere (mid-packet too): the
// same packet, PSI, PES and elementary-stream handling as demux_ts, whose result it gives for
// the whole stream once finished. Its result refers to its own copies of the elementary
// streams' bytes, which it keeps until told they were used (`release`), so that a consumer
// that takes access units and frames as they complete holds little more than what it has not
// taken yet.
class StreamDemuxer {
 public:
  explicit StreamDemuxer(const DiagnosticSink& diagnostics = DiagnosticSink::discard(),
                         AudioStreams audio_streams = AudioStreams::kFirst);
  ~StreamDemuxer();
  StreamDemuxer(const StreamDemuxer&) = delete;
  StreamDemuxer& operator=(const StreamDemuxer&) = delete;

  // Demultiplexes every packet that the bytes received so far let it decide on.
  void push(ByteView chunk);
  // The stream ended: its last packets, access unit and audio frames.
  void finish();
  const TsDemuxResult& result() const;
  bool saw_sync_byte() const;
  bool finished() const;
  // The first `units` access units and `frames` audio frames were used: their entries and
  // bytes go, and the later ones move to the front.
  void release(std::size_t units, std::size_t frames);
  // The same for the first `frames` frames of `result().more_audio[stream]`.
  void release_more_audio(std::size_t stream, std::size_t frames);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

AudioFrameClock audio_frame_clock(const DemuxedAudio& audio);

// Refuses a programme whose chosen video stream is not H.264 or HEVC, naming what was found.
// Every audio stream that is chosen is converted.
Status check_supported_video(const TsDemuxResult& result);

// The timestamps at the start of a packet payload that begins a PES packet.
PesTimestamps read_pes_header(ByteView payload);

}  // namespace plexo::ts
