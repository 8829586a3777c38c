// A live transport stream as fragmented MP4, piece by piece: what convert_ts_to_fmp4 writes for
// the whole stream, given as an initialisation segment and then each fragment as soon as the
// key frame that ends it has arrived. The stream may be cut anywhere (mid-packet too). It holds
// the fragment being collected and little more: the demultiplexer gives back every byte a
// written fragment used.
//
// Over a whole stream, init and the fragments joined are convert_ts_to_fmp4's file when the
// stream's earliest picture comes in its first fragment, its pictures carry their timestamps
// and its audio begins within four fragments of its video (the live timing of VideoTimeline;
// audio that starts later than that is left out, as it would have to be announced in the init
// segment already written).
#pragma once

#include <optional>
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
  // `fragment_duration` in seconds, checked with check_fragment_duration first.
  explicit TsSegmenter(double fragment_duration);

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
  void find_cuts();
  Result<bool> start(std::size_t units, bool ended);
  Status emit(bool ended, const Target& fragments);
  // The audio frames held that are presented before movie time `end`.
  std::size_t audio_frames_before(std::int64_t end) const;
  std::int64_t audio_movie_time(std::uint64_t frame) const;

  ts::StreamDemuxer demux_;
  std::uint64_t fragment_ticks_;  // 90 kHz
  mp4::FragmentCutter cutter_{1};
  std::optional<Buffer> init_;
  bool started_ = false;
  bool ended_ = false;
  bool has_video_ = false, has_audio_ = false;
  std::optional<mp4::FragmentSequence> sequence_;
  std::vector<mp4::FragmentedTrack> tracks_;

  VideoTimeline timeline_;
  // The units held before `end`, behind the last unit written when `anchored`, and their
  // timestamps, as the timing takes them.
  struct Window {
    std::size_t count = 0;
    std::vector<ts::UnitStamp> stamps;
    TimedUnits timed() const { return {count, stamps}; }
  };
  Window window(std::size_t end, bool anchored) const;

  bool anchored_ = false;                          // a unit was written
  std::optional<ts::PesTimestamps> anchor_times_;  // the last unit written's, when it has any
  std::uint64_t video_decode_ = 0;        // decode time of the first unit held
  std::size_t scanned_ = 0;               // leading samples held that were looked at for cuts
  std::optional<GrowingUnitTimes> held_times_;  // of the window's units up to scanned_
  std::size_t next_stamp_ = 0;            // the first unit stamp not taken into held_times_
  std::vector<Cut> cuts_;
  bool cutter_ready_ = false;

  std::optional<AudioTrackTiming> audio_;
  std::uint64_t audio_written_ = 0;  // frames
};

}  // namespace plexo::mp4w
