// A live transport stream as fragmented MP4, piece by piece: what convert_ts_to_fmp4 writes for
// the whole stream, given as an initialisation segment and then each fragment as soon as the
// key frame that ends it has arrived. The stream may be cut anywhere (mid-packet too). It holds
// the fragment being collected and little more: the demultiplexer gives back every byte a
// written fragment used.
//
// The fragments are a function of the stream's bytes, whatever pieces it came in: every
// picture's times and every cut are decided from data that has come in any chunking (the video's
// times by LiveUnitTimes), and waiting for audio ends only at marks every kMarkSpacing bytes
// of the stream. Over a whole stream, init and the fragments joined are convert_ts_to_fmp4's
// file when no picture is presented before the first fragment's earliest, no unit waits past
// kLiveTimingHorizon units for its decode time, the audio starts and keeps up within four
// fragments of its video (audio that starts later is left out, as it would have to be
// announced in the init segment already written), the video's parameter sets never change
// (where they do, a new init describes the new ones: see init_changes), and no fragment
// reaches the bound below. A programme whose listed video stream has sent nothing while 10 s
// of audio came converts its audio alone from then on.
//
// What it holds is bounded however the key frames come: a fragment also ends, at whatever
// picture, where it would otherwise last longer than the maximum fragment duration or hold more
// than kMaxFragmentPictures pictures (a stream without key pictures, or whose timestamps barely
// advance). Such a fragment begins with a picture that needs earlier ones: `independent()`
// turns false.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/buffer.hpp"
#include "core/error.hpp"
#include "mp4_parser/fragment_writer.hpp"
#include "mp4_writer/audio_timing.hpp"
#include "mp4_writer/video_timing.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::mp4w {

class TsSegmenter {
 public:
  // Pictures a fragment holds at most.
  static constexpr std::size_t kMaxFragmentPictures = 16384;
  static constexpr double kDefaultMaxFragmentDuration = 60.0;
  // `fragment_duration` and `max_fragment_duration` in seconds, each checked with
  // check_fragment_duration first.
  explicit TsSegmenter(double fragment_duration, double max_fragment_duration = kDefaultMaxFragmentDuration);

  // Where each fragment is written, in order: memory of the size asked for.
  using Target = mp4::FragmentSequence::Target;

  // Takes the next piece of the stream; writes every fragment it completes into `fragments`.
  // Fails when the programme's streams are not converted (the message of convert_ts_to_mp4).
  Status push(ByteView chunk, const Target& fragments);
  // The stream ended: writes the last fragments. Fails as convert_ts_to_fmp4 would for a
  // stream that gave no file ("No H.264 parameter sets found", "No video data found", ...).
  Status finish(const Target& fragments);
  // The same, each fragment appended to `fragments` in a buffer of its own.
  Status push(ByteView chunk, std::vector<Buffer>& fragments) { return push(chunk, into(fragments)); }
  Status finish(std::vector<Buffer>& fragments) { return finish(into(fragments)); }
  // The initialisation segment, once the tracks are known.
  const std::optional<Buffer>& init() const { return init_; }
  // A change of the video's parameter sets cannot be announced in an initialisation segment
  // already written: the fragment where it happens is preceded by a new one, whose one entry
  // describes the new generation (as the first one's describes the first; no traf names an
  // entry). `fragment` counts the fragments written before it.
  struct InitChange {
    std::uint64_t fragment = 0;
    Buffer init;
  };
  const std::vector<InitChange>& init_changes() const { return init_changes_; }
  // The demultiplexer's diagnostic lines so far: the PIDs found and every stream left out
  // (audio streams after the first among them: the segmenter converts the first only).
  const std::string& diagnostics() const { return diagnostics_; }
  // Whether every fragment written so far begins with a picture that needs none before it
  // (an IDR picture, or an HEVC random-access picture no skipped leading picture follows):
  // each decodes alone after the initialisation segment. A fragment that begins at a
  // recovery point or where a fragment had to end without a key frame does not.
  bool independent() const { return independent_; }
  // Whether the audio's timestamps showed a gap (packets lost). Where one shows only after
  // the frame before it was written, the gap lengthens the first frame still held instead, so
  // such a stream's fragments may differ with how it was cut into pushes.
  bool audio_gaps_seen() const { return gapped_; }
  // Whether the fragments written are convert_ts_to_fmp4's for the stream so far: no
  // fragment was ended by the bound, no picture was timed at the horizon, presented before
  // the first fragment's earliest or given a composition offset below the first fragment's
  // lowest, and waiting for audio never ended at a mark.
  // Nor did the video's parameter sets change (a new init then describes them), the audio
  // show a gap in its timestamps (one found after the frames before it were written lengthens
  // a later frame), or the audio come to be converted alone while the listed video stayed
  // silent (video that comes later is left out).
  bool as_whole_stream() const {
    return !bounded_ && !gave_up_waiting_ && !offset_below_raise_ && !times_.timed_at_horizon() &&
           (!shift_ || !earliest_ || *earliest_ - origin_ == *shift_) && init_changes_.empty() && !gapped_ &&
           !audio_only_;
  }

 private:
  struct Cut {
    std::size_t unit;       // index of the leading track's first sample, among those held
    std::int64_t presented; // its presentation time, leading track's timescale
  };
  static Target into(std::vector<Buffer>& fragments) {
    return [&fragments](std::size_t size) {
      ByteVector& bytes = fragments.emplace_back().vector();
      bytes.resize(size);
      return std::span<std::uint8_t>(bytes.data(), bytes.size());
    };
  }
  bool video_leads() const;
  // The initialisation segment describing generation `generation_` of the parameter sets.
  Result<Buffer> write_init();
  void find_cuts();
  // Looks for cuts from the first sample held again, when which track leads changed.
  void restart_cuts();
  // `mark`: the stream was taken up to a mark, where waiting for audio may end.
  Result<bool> start(std::size_t units, bool ended, bool mark);
  Status emit(bool ended, bool mark, const Target& fragments);
  // The audio frames held that are presented before movie time `end`.
  std::size_t audio_frames_before(std::int64_t end) const;
  // What held frame `i` lasts: longer before a gap, taken from `clock`; `gap` moves along
  // the held gaps as `i` grows.
  std::uint32_t audio_duration(std::size_t i, std::vector<ts::AudioGap>::const_iterator& gap,
                               AudioGapClock& clock) const;

  std::string diagnostics_;
  ts::StreamDemuxer demux_{ts::DiagnosticSink::collect(&diagnostics_)};
  std::uint64_t fragment_ticks_;  // 90 kHz
  std::uint64_t max_fragment_ticks_;
  bool independent_ = true;
  bool bounded_ = false;
  bool gapped_ = false;  // an audio frame written was lengthened over a gap, or might have been
  bool gave_up_waiting_ = false;
  bool offset_below_raise_ = false;
  std::int64_t video_raise_ = 0;  // added to the video's composition offsets
  mp4::FragmentCutter cutter_{1};
  std::optional<Buffer> init_;
  std::uint64_t received_ = 0;  // bytes of the stream
  bool started_ = false;
  bool ended_ = false;
  bool has_video_ = false, has_audio_ = false;
  std::optional<mp4::FragmentSequence> sequence_;
  std::vector<mp4::FragmentedTrack> tracks_;

  // The video's times as the whole stream gives them (units numbered from the stream's
  // first), each taken once decided; a key frame is looked at once its own time is.
  LiveUnitTimes times_;
  std::size_t written_units_ = 0;     // units written: the first held is this one
  std::uint64_t video_decode_ = 0;    // decode time of the first unit held, on the track
  std::size_t scanned_ = 0;           // leading samples held that were looked at for cuts
  std::uint64_t scan_decode_ = 0;     // decode time of the first not looked at, on the track
  std::int64_t scan_previous_ = 0;    // the decode time (source clock) of the last looked at
  std::int64_t origin_ = 0;           // the first unit's decode time (source clock)
  std::optional<std::int64_t> earliest_;  // presentation, among the units looked at
  // Subtracted from every PTS − DTS: fixed by the first fragment's units (and the key frame
  // that ends it), whose earliest picture media time 0 presents.
  std::optional<std::int64_t> shift_;
  std::uint32_t last_duration_ = kDefaultVideoSampleDelta;
  // The fragment being looked at: its first unit's decode time on the track, its units, and
  // the unit before the one looked at last (where it ends if that one would make it too long).
  std::uint64_t fragment_start_ = 0;
  std::size_t fragment_units_ = 0;
  struct Scanned {
    std::uint64_t decode = 0;  // on the track
    std::int64_t presented = 0;
    std::int64_t shift = 0;
  } previous_;
  void cut_at(std::size_t unit, const Scanned& at);
  void feed_units();
  std::vector<Cut> cuts_;
  bool cutter_ready_ = false;

  std::optional<AudioTrackTiming> audio_;
  std::uint64_t audio_written_ = 0;  // frames

  VideoTiming video_timing_;         // as the first initialisation segment took it
  std::size_t generation_ = 0;       // of the parameter sets the last init describes
  std::uint64_t fragments_written_ = 0;
  std::vector<InitChange> init_changes_;

  // The media time of the first frame held, and the gaps' clock as far as the frames written.
  std::uint64_t audio_media_ = 0;
  std::optional<AudioGapClock> audio_gaps_;
  // The same for the audio looked at for cuts, when it leads.
  std::uint64_t scan_media_ = 0;
  std::optional<AudioGapClock> scan_gaps_;
  // The programme's video stream sent nothing while its audio ran kAudioOnlyAfter: the audio
  // is converted alone, as when the stream ends without video.
  bool audio_only_ = false;
};

}  // namespace plexo::mp4w
