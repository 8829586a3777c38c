// The converted file as a movie-writer model: the access units and audio frames the
// demultiplexer found become two tracks, timed by video_timing and audio_timing, their bytes
// gathered from the packet payloads of the input (and 4-byte NAL lengths) while the movie
// writer writes the file: one copy.
#include "mp4_writer/mp4_writer.hpp"

#include <algorithm>
#include <functional>
#include <optional>

#include "mp4_parser/fragment_writer.hpp"
#include "codecs/nal_framing.hpp"
#include "core/messages.hpp"
#include "mp4_writer/audio_timing.hpp"
#include "mp4_writer/movie_outline.hpp"
#include "mp4_writer/sample_entries.hpp"
#include "mp4_writer/timeline.hpp"
#include "mp4_writer/video_timing.hpp"

namespace plexo::mp4w {
namespace {

using mp4::BoxNode;
using mp4::OutputSample;
using mp4::TrackSamples;

// What the plan's views point into, kept with the plan until it is written.
struct ConvertedStream {
  ts::TsDemuxResult demuxed;
  TrackDescriptions descriptions;
  VideoTiming video;
  std::optional<VideoSampleTimes> video_samples;
  std::vector<std::uint32_t> audio_gaps;  // what the frame before each gap lasts
};

// One data reference: the media is in this file.
BoxNode data_information() {
  static constexpr std::uint8_t kDref[] = {0, 0, 0, 0, 0, 0, 0, 1,           // version, flags, count
                                           0, 0, 0, 12, 'u', 'r', 'l', ' ',  // url , flags 1:
                                           0, 0, 0, 1};                      // in this file
  BoxNode dinf = BoxNode::container("dinf");
  dinf.add(BoxNode::viewed("dref", ByteView(kDref, sizeof kDref)));
  return dinf;
}

BoxNode media_header_box(FourCC type) {
  static constexpr std::uint8_t kVideo[] = {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};  // vmhd
  static constexpr std::uint8_t kSound[] = {0, 0, 0, 0, 0, 0, 0, 0};              // smhd
  return type == FourCC("vmhd") ? BoxNode::viewed(type, ByteView(kVideo, sizeof kVideo))
                                : BoxNode::viewed(type, ByteView(kSound, sizeof kSound));
}

BoxNode trak(std::uint32_t track_id, std::uint64_t track_duration, std::uint16_t volume,
             std::uint16_t width, std::uint16_t height, std::uint32_t timescale,
             std::uint64_t media_duration, FourCC handler, std::size_t model_track,
             const std::vector<mp4::EditEntry>& edits) {
  BoxNode trak = BoxNode::container("trak");
  mp4::TrackHeader tkhd;
  tkhd.track_id = track_id;
  tkhd.duration = track_duration;
  tkhd.volume = volume;
  tkhd.width = std::uint32_t{width} << 16;
  tkhd.height = std::uint32_t{height} << 16;
  trak.add(BoxNode::typed(tkhd));
  BoxNode& mdia = trak.add(BoxNode::container("mdia"));
  mp4::MediaHeader mdhd;
  mdhd.timescale = timescale;
  mdhd.duration = media_duration;
  mdia.add(BoxNode::typed(mdhd));
  mdia.add(BoxNode::typed(mp4::HandlerBox{handler, {}}));
  BoxNode& minf = mdia.add(BoxNode::container("minf"));
  minf.add(media_header_box(handler == FourCC("vide") ? FourCC("vmhd") : FourCC("smhd")));
  minf.add(data_information());
  minf.add(BoxNode::sample_table(model_track));
  if (!edits.empty()) {
    Buffer edts;
    mp4::EditList{edits}.write_edts(edts);
    trak.add(BoxNode::encoded(std::move(edts)));
  }
  return trak;
}

// The edits of a track held back by `delay` (movie timescale): an empty edit, then the media
// from its start for `presented`. No edit skips media.
std::vector<mp4::EditEntry> delay_edits(std::uint64_t delay, std::uint64_t presented) {
  if (delay == 0) return {};
  return {mp4::EditEntry{delay, -1}, mp4::EditEntry{presented, 0}};
}

struct ConvertedMovie {
  std::unique_ptr<ConvertedStream> keep;  // what the model's views point into
  MovieOutline outline;
};

}  // namespace

MovieOutline outline_movie(TrackDescriptions& keep, const ts::TsDemuxResult& d, const VideoTiming* video,
                           const AudioTrackTiming* audio, Layout layout) {
  MovieOutline outline;
  const bool fragmented = layout == Layout::kFragmented;
  // What a header says of a duration: nothing in a fragmented movie.
  auto stated = [fragmented](std::uint64_t duration) { return fragmented ? 0 : duration; };
  auto edits = [fragmented](std::uint64_t delay, std::uint64_t presented) {
    return fragmented ? std::vector<mp4::EditEntry>{} : delay_edits(delay, presented);
  };
  mp4::MovieModel& model = outline.model;
  model.file_type = fragmented ? fragmented_file_type() : mp4::FileType{"isom", 0x200, {"isom", "iso2", "mp41"}};
  model.moov.add(BoxNode());  // the mvhd, once the duration is known
  std::uint64_t movie_duration = 0;
  std::uint32_t next_track_id = kVideoTrackId;

  if (video) {
    TrackSamples& v = model.tracks.emplace_back();
    // Without an IDR there is no sync sample to list, and an empty stss would let no player
    // seek: the table is left out.
    v.sync_table = std::any_of(d.access_units.begin(), d.access_units.end(),
                               [](const ts::AccessUnit& unit) { return unit.sync != 0; });
    // Fragment readers disagree on negative offsets in a run: raised, they mean the same to all.
    if (fragmented) v.negative_offsets = TrackSamples::NegativeOffsets::kRaise;
    keep.video = video_sample_description(d);
    v.sample_description = keep.video.view();
    outline.tracks.push_back({next_track_id, kMovieTimescale, video->empty_edit});
    model.moov.add(trak(next_track_id++, stated(track_duration(*video)), 0, d.width, d.height, kMovieTimescale,
                        stated(video->duration), "vide", model.tracks.size() - 1,
                        edits(video->empty_edit, video->duration)));
    movie_duration = track_duration(*video);
  }

  if (audio) {
    // An audio-only file numbers its one track 1.
    if (video) next_track_id = kAudioTrackId;
    TrackSamples& a = model.tracks.emplace_back();
    a.sync_table = false;  // every audio frame is a sync sample
    keep.audio = audio_sample_description(*audio, d);
    a.sample_description = keep.audio.view();
    outline.tracks.push_back({next_track_id, audio->timescale, audio->empty_edit});
    model.moov.add(trak(next_track_id++, stated(track_duration(*audio)), 0x0100, 0, 0, audio->timescale,
                        stated(audio->media_duration), "soun", model.tracks.size() - 1,
                        edits(audio->empty_edit, audio->movie_duration)));
    movie_duration = std::max(movie_duration, track_duration(*audio));
  }

  mp4::MovieHeader mvhd;
  mvhd.timescale = kMovieTimescale;
  mvhd.duration = stated(movie_duration);
  mvhd.next_track_id = next_track_id;
  model.moov.set_child(0, BoxNode::typed(mvhd));
  return outline;
}

namespace {

// What the tracks are made of, counted: the access units (those holding an IDR or IRAP slice
// among them) and the audio frames.
struct StreamCounts {
  std::uint64_t units = 0;
  std::uint64_t sync_units = 0;
  std::uint64_t frames = 0;
  bool unit_too_large = false;  // some access unit makes a sample past 4 GiB
};

// Counts the access units [first, end) of `d`.
void count_units(const ts::TsDemuxResult& d, std::size_t first, std::size_t end, StreamCounts& counts) {
  for (std::size_t i = first; i < end; ++i) {
    counts.unit_too_large |= !mp4::fits_u32(d.sample_size(i));
    counts.sync_units += d.access_units[i].sync;
  }
  counts.units += end - first;
}

// Whether a file is made of the stream: `d`'s facts, its units and frames as `counts` has them.
Status check_convertible(const ts::TsDemuxResult& d, const StreamCounts& counts) {
  PLEXO_CHECK(ts::check_supported_video(d));
  // A programme converts whichever of its streams it has: video alone, audio alone, or both.
  // A video stream that sent pictures of which none can be kept (no complete picture, or
  // none after the parameter sets it needs) gives no file rather than one without its video.
  if (counts.units == 0 && (!d.video.empty() || counts.frames == 0))
    return fail(d.pictures_without_parameter_sets ? ts::no_parameter_sets(d) : msg::kNoVideoData);
  if (counts.unit_too_large)
    return fail(d.video_codec == VideoCodec::kHevc ? msg::kHevcAccessUnitTooLarge : msg::kAccessUnitTooLarge);
  if (!mp4::fits_u32(counts.units) || !mp4::fits_u32(counts.frames)) return fail(msg::kTooManySamples);
  return {};
}

Result<ConvertedMovie> convert_movie(ts::TsDemuxResult demuxed, Layout layout) {
  StreamCounts counts;
  counts.frames = demuxed.audio_frames.size();
  count_units(demuxed, 0, demuxed.access_units.size(), counts);
  PLEXO_CHECK(check_convertible(demuxed, counts));
  const bool has_video = counts.units > 0;
  const bool has_audio = counts.frames > 0;
  ConvertedMovie converted;
  converted.keep = std::make_unique<ConvertedStream>();
  ConvertedStream* keep = converted.keep.get();
  keep->demuxed = std::move(demuxed);
  const ts::TsDemuxResult& d = keep->demuxed;
  const auto& units = d.access_units;
  keep->video = compute_video_timing({units.size(), d.unit_stamps});
  VideoTiming& video = keep->video;
  std::optional<AudioTrackTiming> audio;
  if (has_audio) audio = compute_audio_timing(d);
  if (has_audio) keep->audio_gaps = keep_gaps(*audio, d.audio_gaps);
  align_tracks(video, audio);

  converted.outline = outline_movie(keep->descriptions, d, has_video ? &video : nullptr,
                                    audio ? &*audio : nullptr, layout);
  mp4::MovieModel& model = converted.outline.model;
  if (has_video) {
    // Each NAL unit is its 4-byte length, then its bytes where the packets carry them; both
    // go straight into the file as it is written.
    // The sample records follow from the access units and their timing as they are written.
    TrackSamples& v = model.tracks.front();
    v.derived_count = units.size();
    VideoSampleTimes* times = &keep->video_samples.emplace(TimedUnits{units.size(), d.unit_stamps}, video.shift);
    v.read_samples = [&d, times](std::uint64_t first, std::span<OutputSample> out) {
      for (std::size_t k = 0; k < out.size(); ++k) {
        const auto i = static_cast<std::size_t>(first + k);
        const auto [duration, offset] = times->at(i);
        out[k] = OutputSample{static_cast<std::uint32_t>(d.sample_size(i)), duration, offset,
                              d.access_units[i].sync != 0};
      }
    };
    v.gather_media = [&d](const std::function<void(ByteView)>& sink) {
      ts::ElementaryStream::Copier copier(d.video);
      nal::put_length_prefixed(copier, d.nal_units, sink);
    };
  }
  if (audio) {
    TrackSamples& a = model.tracks.back();
    a.derived_count = d.audio_frames.size();
    a.read_samples = [&d, keep, delta = audio->sample_delta](std::uint64_t first, std::span<OutputSample> out) {
      for (std::size_t k = 0; k < out.size(); ++k)
        out[k] = OutputSample{static_cast<std::uint32_t>(d.audio_frames[static_cast<std::size_t>(first + k)].size),
                              delta, 0, true};
      // The frame before each gap lasts longer.
      const auto& gaps = d.audio_gaps;
      auto gap = std::upper_bound(gaps.begin(), gaps.end(), first,
                                  [](std::uint64_t f, const ts::AudioGap& g) { return f < g.frame; });
      for (; gap != gaps.end() && gap->frame <= first + out.size(); ++gap)
        out[static_cast<std::size_t>(gap->frame - 1 - first)].duration = keep->audio_gaps[static_cast<std::size_t>(gap - gaps.begin())];
    };
    a.gather_media = [&d](const std::function<void(ByteView)>& sink) {
      ts::ElementaryStream::Copier copier(d.audio);
      for (const ts::AudioFrame& frame : d.audio_frames) copier.copy(frame.begin, frame.size, sink);
    };
  }
  return converted;
}

}  // namespace

Result<std::unique_ptr<mp4::PlannedOutput>> plan_mp4(ts::TsDemuxResult demuxed) {
  ConvertedMovie converted = PLEXO_TRY(convert_movie(std::move(demuxed), Layout::kProgressive));
  mp4::MoviePlan plan = PLEXO_TRY(mp4::MoviePlan::lay_out(std::move(converted.outline.model)));
  return std::unique_ptr<mp4::PlannedOutput>(
      new mp4::PlannedMovie<std::unique_ptr<ConvertedStream>>(std::move(converted.keep), std::move(plan)));
}

Status check_fragment_duration(double seconds) {
  if (!(seconds > 0) || seconds > 1e6) return fail(msg::kInvalidFragmentDuration);
  return {};
}

Result<std::unique_ptr<mp4::PlannedOutput>> plan_fmp4(ts::TsDemuxResult demuxed, double fragment_duration) {
  PLEXO_CHECK(check_fragment_duration(fragment_duration));
  ConvertedMovie converted = PLEXO_TRY(convert_movie(std::move(demuxed), Layout::kFragmented));
  mp4::FragmentedMovieModel model;
  model.movie = std::move(converted.outline.model);
  model.tracks = std::move(converted.outline.tracks);
  model.movie_timescale = kMovieTimescale;
  model.fragment_duration =
      std::max<std::uint64_t>(1, static_cast<std::uint64_t>(fragment_duration * kMovieTimescale + 0.5));
  mp4::FragmentPlan plan = PLEXO_TRY(mp4::FragmentPlan::lay_out(std::move(model)));
  return std::unique_ptr<mp4::PlannedOutput>(
      new mp4::PlannedMovie<std::unique_ptr<ConvertedStream>, mp4::FragmentPlan>(std::move(converted.keep), std::move(plan)));
}

Result<Buffer> write_mp4(ts::TsDemuxResult demuxed) {
  auto planned = PLEXO_TRY(plan_mp4(std::move(demuxed)));
  return mp4::write_planned(*planned);
}

Result<std::unique_ptr<mp4::PlannedOutput>> plan_ts_to_mp4(ByteView input,
                                                           const ts::DiagnosticSink& diagnostics) {
  return plan_mp4(PLEXO_TRY(ts::demux_ts(input, diagnostics)));
}

Result<SummarisedMovie> summarise_ts(ByteView input) {
  // The stream a piece at a time; the access units and audio frames it gives are counted and
  // let go, all but the last unit and the last two frames, which the demultiplexer may still
  // look at (an E-AC-3 substream joins the frame before it; the frames held tell whether the
  // audio's description is decided).
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  constexpr std::size_t kUnitsHeld = 1, kFramesHeld = 2;
  ts::StreamDemuxer demux(ts::DiagnosticSink::discard());
  const ts::TsDemuxResult& d = demux.result();
  StreamCounts counts;
  std::vector<ts::UnitStamp> stamps;  // of every unit, numbered from the stream's first
  std::optional<ts::AudioAnchor> anchor;  // numbered from the stream's first frame
  std::vector<ts::AudioGap> gaps;         // the same
  auto take = [&](std::size_t units_held, std::size_t frames_held) {
    const std::size_t units = d.access_units.size() - std::min(d.access_units.size(), units_held);
    const std::size_t frames = d.audio_frames.size() - std::min(d.audio_frames.size(), frames_held);
    // The anchor counts the frames held when it came.
    if (d.audio_anchor && !anchor) anchor = ts::AudioAnchor{d.audio_anchor->frame + counts.frames, d.audio_anchor->pts};
    for (const ts::UnitStamp& stamp : d.unit_stamps)
      if (stamp.unit < units) stamps.push_back({stamp.unit + counts.units, stamp.times});
    for (const ts::AudioGap& gap : d.audio_gaps)
      if (gap.frame <= frames) gaps.push_back({gap.frame + counts.frames, gap.ticks});
    count_units(d, 0, units, counts);
    counts.frames += frames;
    demux.release(units, frames);
  };
  for (std::size_t at = 0; at < input.size(); at += kPiece) {
    demux.push(input.subspan(at, std::min(kPiece, input.size() - at)));
    take(kUnitsHeld, kFramesHeld);
  }
  demux.finish();
  if (!demux.saw_sync_byte()) return fail(msg::kNoSyncByte);
  take(0, 0);
  PLEXO_CHECK(check_convertible(d, counts));

  VideoTiming video = compute_video_timing({static_cast<std::size_t>(counts.units), stamps});
  std::optional<AudioTrackTiming> audio;
  if (counts.frames > 0) audio = compute_audio_timing(d, counts.frames, anchor);
  if (audio) keep_gaps(*audio, gaps);
  align_tracks(video, audio);
  TrackDescriptions descriptions;
  MovieOutline outline = outline_movie(descriptions, d, counts.units > 0 ? &video : nullptr,
                                       audio ? &*audio : nullptr, Layout::kProgressive);
  // The movie as convert_ts_to_mp4 writes it, but for its sample tables: what they would
  // list is summarised instead.
  std::vector<mp4::SampleSummary> summaries;
  // Without an IDR picture no sync sample table is written: every sample counts as one.
  if (counts.units > 0)
    summaries.push_back({counts.units, counts.sync_units > 0 ? counts.sync_units : counts.units, video.duration});
  if (audio) summaries.push_back({counts.frames, counts.frames, audio->media_duration});
  const mp4::MoviePlan plan = PLEXO_TRY(mp4::MoviePlan::lay_out(std::move(outline.model)));
  return SummarisedMovie{PLEXO_TRY(plan.write_movie()), std::move(summaries)};
}

Result<std::unique_ptr<mp4::PlannedOutput>> plan_ts_to_fmp4(ByteView input, double fragment_duration,
                                                            const ts::DiagnosticSink& diagnostics) {
  PLEXO_CHECK(check_fragment_duration(fragment_duration));
  return plan_fmp4(PLEXO_TRY(ts::demux_ts(input, diagnostics)), fragment_duration);
}

namespace {

// A track's media as pieces of the input file, in file order: the video's NAL units, each
// behind its length field, or the audio's frames.
class TrackPieces {
 public:
  TrackPieces(const ts::ElementaryStream& stream, const std::vector<ts::NalRange>& units)
      : cursor_(stream), units_(&units), count_(units.size()) {
    next_range();
  }
  TrackPieces(const ts::ElementaryStream& stream, const std::vector<ts::AudioFrame>& frames)
      : cursor_(stream), frames_(&frames), count_(frames.size()) {
    next_range();
  }

  bool done() const { return done_; }
  // Where the next piece lies in the input (a length field goes with the unit it stands before).
  std::uint64_t offset() const { return cursor_.offset(); }

  // Puts the next piece into `out`, its bytes from `window`; false when the input failed.
  template <class Writer>
  bool put_next(InputWindow& window, Writer& out) {
    if (length_pending_) {
      out.put(ByteView(length_.data(), length_.size()));
      length_pending_ = false;
    } else {
      const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(cursor_.piece(), InputWindow::kCapacity));
      const std::uint8_t* bytes = window.at(cursor_.offset(), take);
      if (!bytes) return false;
      out.put(ByteView(bytes, take));
      cursor_.advance(take);
    }
    if (!length_pending_ && cursor_.done()) next_range();
    return true;
  }

 private:
  void next_range() {
    // An empty range (none is recorded) has no bytes to place: it is passed over.
    while (next_ < count_) {
      const std::size_t i = next_++;
      if (units_) {
        const ts::NalRange& unit = (*units_)[i];
        length_ = nal::length_field(unit.size);
        length_pending_ = true;
        cursor_.start(unit.header, unit.size);
        return;
      }
      const ts::AudioFrame& frame = (*frames_)[i];
      cursor_.start(frame.begin, frame.size);
      if (!cursor_.done()) return;
    }
    done_ = true;
  }

  ts::ElementaryStream::Cursor cursor_;
  const std::vector<ts::NalRange>* units_ = nullptr;
  const std::vector<ts::AudioFrame>* frames_ = nullptr;
  std::size_t count_ = 0;
  std::size_t next_ = 0;
  nal::LengthField length_{};
  bool length_pending_ = false;
  bool done_ = false;
};

// Writes the media of a planned conversion into the file at `out`, each track at its offset:
// the pieces of both tracks are taken in the order they lie in the input, so the input is read
// front to back once, in large windows. `Writer` writes a region of the file from an offset on
// (FileWriter::At through the page cache, or DirectRegionWriter), `open(offset, buffer_size)`
// makes one.
template <class Writer, class Open>
Status write_media(const InputFile& file, const ts::TsDemuxResult& d, const mp4::MoviePlan& plan, Open&& open) {
  const bool has_video = !d.access_units.empty();
  const bool has_audio = !d.audio_frames.empty();
  const std::size_t tracks = std::size_t{has_video} + std::size_t{has_audio};
  std::optional<TrackPieces> video, audio;
  std::optional<Writer> video_out, audio_out;
  if (has_video) {
    video.emplace(d.video, d.nal_units);
    open(video_out, plan.media_offset(0), FileWriter::kBufferSize);
  }
  if (has_audio) {
    audio.emplace(d.audio, d.audio_frames);
    // Audio is a small part of a recording: a quarter of the buffer.
    open(audio_out, plan.media_offset(tracks - 1), FileWriter::kBufferSize / 4);
  }
  InputWindow window(file);
  for (;;) {
    const bool more_video = video && !video->done();
    const bool more_audio = audio && !audio->done();
    bool read = true;
    if (more_video && (!more_audio || video->offset() <= audio->offset())) read = video->put_next(window, *video_out);
    else if (more_audio) read = audio->put_next(window, *audio_out);
    else break;
    if (!read) return window.status();
  }
  // Each track ends where the next begins, the last at the end of the file.
  for (std::size_t track = 0; track < tracks; ++track) {
    Writer& writer = track == 0 && has_video ? *video_out : *audio_out;
    PLEXO_CHECK(writer.flush());
    const std::uint64_t end = track + 1 < tracks ? plan.media_offset(track + 1) : plan.size();
    if (writer.position() != end) return fail(msg::kMediaSizeMismatch);
  }
  return {};
}

}  // namespace

Result<std::uint64_t> convert_file(int in, int out, const ts::DiagnosticSink& diagnostics) {
  InputFile file = PLEXO_TRY(InputFile::open(in));
  ConvertedMovie converted =
      PLEXO_TRY(convert_movie(PLEXO_TRY(ts::demux_ts_file(file, diagnostics)), Layout::kProgressive));
  file.release_all();
  const mp4::MoviePlan plan = PLEXO_TRY(mp4::MoviePlan::lay_out(std::move(converted.outline.model)));
  if (!FileWriter::writes_at_offsets(out)) {
    // A pipe takes the file front to back: the tracks' media one after the other.
    FileWriter writer(out, {&file});
    PLEXO_CHECK(plan.write(writer));
    return plan.size();
  }
  const ts::TsDemuxResult& demuxed = converted.keep->demuxed;
  if (std::unique_ptr<DirectWrites> direct = DirectWrites::open(out)) {
    // The media around the page cache, then the head and the blocks shared between regions
    // through it.
    PLEXO_CHECK((write_media<DirectRegionWriter>(
        file, demuxed, plan, [&](std::optional<DirectRegionWriter>& writer, std::uint64_t at, std::size_t size) {
          writer.emplace(*direct, at, size);
        })));
    PLEXO_CHECK(direct->finish());
  } else {
    PLEXO_CHECK((write_media<FileWriter>(
        file, demuxed, plan, [&](std::optional<FileWriter>& writer, std::uint64_t at, std::size_t size) {
          writer.emplace(out, FileWriter::At{at}, size);
        })));
  }
  // Offsets count from the file's start, as the plan's do.
  FileWriter head(out, FileWriter::At{0});
  PLEXO_CHECK(plan.write_head(head));
  return plan.size();
}

}  // namespace plexo::mp4w
