// The converted file as a movie-writer model: the access units and audio frames the
// demultiplexer found become two tracks, timed by video_timing and audio_timing, their bytes
// gathered from the packet payloads of the input (and 4-byte NAL lengths) while the movie
// writer writes the file: one copy.
#include "mp4_writer/mp4_writer.hpp"

#include <algorithm>
#include <deque>
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
  std::vector<AudioTrackTiming> audio;        // one per audio track
  std::vector<const ts::DemuxedAudio*> audio_streams;  // the stream of each
  // Per audio track: what the frame before each of its gaps lasts.
  std::vector<std::vector<std::uint32_t>> audio_gaps;
};

// The audio streams of a result that give tracks: those with frames, the result's own first.
std::vector<const ts::DemuxedAudio*> audio_streams(const ts::TsDemuxResult& d) {
  std::vector<const ts::DemuxedAudio*> streams;
  if (!d.audio_frames.empty()) streams.push_back(&d);
  for (const ts::DemuxedAudio& more : d.more_audio)
    if (!more.audio_frames.empty()) streams.push_back(&more);
  return streams;
}

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

// A track among alternatives that is not presented unless chosen: in the movie and its
// preview, not enabled.
constexpr std::uint32_t kTrackDisabled = 0x000006;

// How an audio track stands among the movie's audio tracks.
struct AudioChoice {
  std::uint16_t language = mp4::kLanguageUndetermined;
  std::uint16_t alternate_group = 0;
  bool enabled = true;
};

// `width` and `height` in 16.16.
BoxNode trak(std::uint32_t track_id, std::uint64_t track_duration, std::uint16_t volume,
             std::uint32_t width, std::uint32_t height, std::uint32_t timescale,
             std::uint64_t media_duration, FourCC handler, std::size_t model_track,
             const std::vector<mp4::EditEntry>& edits, const AudioChoice& choice = {}) {
  BoxNode trak = BoxNode::container("trak");
  mp4::TrackHeader tkhd;
  if (!choice.enabled) tkhd.flags = kTrackDisabled;
  tkhd.alternate_group = choice.alternate_group;
  tkhd.track_id = track_id;
  tkhd.duration = track_duration;
  tkhd.volume = volume;
  tkhd.width = width;
  tkhd.height = height;
  trak.add(BoxNode::typed(tkhd));
  BoxNode& mdia = trak.add(BoxNode::container("mdia"));
  mp4::MediaHeader mdhd;
  mdhd.timescale = timescale;
  mdhd.duration = media_duration;
  mdhd.language = choice.language;
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
                           std::span<const AudioTrackSource> audio_tracks, Layout layout,
                           std::size_t generation) {
  MovieOutline outline;
  const bool fragmented = layout == Layout::kFragmented;
  // What a header says of a duration: nothing in a fragmented movie.
  auto stated = [fragmented](std::uint64_t duration) { return fragmented ? 0 : duration; };
  auto edits = [fragmented](std::uint64_t delay, std::uint64_t presented) {
    return fragmented ? std::vector<mp4::EditEntry>{} : delay_edits(delay, presented);
  };
  mp4::MovieModel& model = outline.model;
  model.file_type = fragmented ? fragmented_file_type(std::size_t{video != nullptr} + audio_tracks.size())
                               : mp4::FileType{"isom", 0x200, {"isom", "iso2", "mp41"}};
  model.moov.add(BoxNode());  // the mvhd, once the duration is known
  std::uint64_t movie_duration = 0;
  std::uint32_t next_track_id = kVideoTrackId;

  if (video) {
    TrackSamples& v = model.tracks.emplace_back();
    // The sync samples are listed even when there are none: without an stss every sample
    // would count as one, which a stream without a key picture must not claim.
    v.sync_table = true;
    // Fragment readers disagree on negative offsets in a run: raised, they mean the same to all.
    if (fragmented) v.negative_offsets = TrackSamples::NegativeOffsets::kRaise;
    keep.video = video_sample_description(d, generation);
    v.sample_description = keep.video.view();
    outline.tracks.push_back({next_track_id, kMovieTimescale, video->empty_edit});
    // Shown at its display width (the picture's stretched by its sample aspect ratio); with
    // several entries, the last one's.
    const auto [width, height] = display_size(d, generation);
    model.moov.add(trak(next_track_id++, stated(track_duration(*video)), 0, width, height, kMovieTimescale,
                        stated(video->duration), "vide", model.tracks.size() - 1,
                        edits(video->empty_edit, video->duration)));
    movie_duration = track_duration(*video);
  }

  // The audio tracks after the first are alternatives to it: one group.
  constexpr std::uint16_t kAudioGroup = 1;
  keep.more_audio.reserve(audio_tracks.size());
  for (std::size_t i = 0; i < audio_tracks.size(); ++i) {
    const AudioTrackTiming& audio = *audio_tracks[i].timing;
    const ts::DemuxedAudio& stream = *audio_tracks[i].stream;
    // An audio-only file numbers its first track 1.
    if (video && i == 0) next_track_id = kAudioTrackId;
    TrackSamples& a = model.tracks.emplace_back();
    a.sync_table = false;  // every audio frame is a sync sample
    Buffer& description = i == 0 ? keep.audio : keep.more_audio.emplace_back();
    description = audio_sample_description(audio, stream);
    a.sample_description = description.view();
    const AudioChoice choice{mp4::pack_language(stream.language),
                             audio_tracks.size() > 1 ? kAudioGroup : std::uint16_t{0}, i == 0};
    outline.tracks.push_back({next_track_id, audio.timescale, audio.empty_edit});
    model.moov.add(trak(next_track_id++, stated(track_duration(audio)), 0x0100, 0, 0, audio.timescale,
                        stated(audio.media_duration), "soun", model.tracks.size() - 1,
                        edits(audio.empty_edit, audio.movie_duration), choice));
    movie_duration = std::max(movie_duration, track_duration(audio));
  }

  mp4::MovieHeader mvhd;
  mvhd.timescale = kMovieTimescale;
  mvhd.duration = stated(movie_duration);
  mvhd.next_track_id = next_track_id;
  model.moov.set_child(0, BoxNode::typed(mvhd));
  return outline;
}

MovieOutline outline_movie(TrackDescriptions& keep, const ts::TsDemuxResult& d, const VideoTiming* video,
                           const AudioTrackTiming* audio, Layout layout, std::size_t generation) {
  const AudioTrackSource source{audio, &d};
  return outline_movie(keep, d, video, audio ? std::span(&source, 1) : std::span<const AudioTrackSource>{}, layout,
                       generation);
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
  if (d.too_many_parameter_changes) return fail(msg::kTooManyParameterChanges);
  if (counts.unit_too_large)
    return fail(d.video_codec == VideoCodec::kHevc ? msg::kHevcAccessUnitTooLarge : msg::kAccessUnitTooLarge);
  if (!mp4::fits_u32(counts.units) || !mp4::fits_u32(counts.frames)) return fail(msg::kTooManySamples);
  return {};
}

Result<ConvertedMovie> convert_movie(ts::TsDemuxResult demuxed, Layout layout) {
  StreamCounts counts;
  for (const ts::DemuxedAudio* stream : audio_streams(demuxed))
    counts.frames = std::max<std::uint64_t>(counts.frames, stream->audio_frames.size());
  count_units(demuxed, 0, demuxed.access_units.size(), counts);
  PLEXO_CHECK(check_convertible(demuxed, counts));
  const bool has_video = counts.units > 0;
  ConvertedMovie converted;
  converted.keep = std::make_unique<ConvertedStream>();
  ConvertedStream* keep = converted.keep.get();
  keep->demuxed = std::move(demuxed);
  const ts::TsDemuxResult& d = keep->demuxed;
  const auto& units = d.access_units;
  keep->video = compute_video_timing({units.size(), d.unit_stamps});
  VideoTiming& video = keep->video;
  keep->audio_streams = audio_streams(d);
  for (const ts::DemuxedAudio* stream : keep->audio_streams) {
    AudioTrackTiming& audio = keep->audio.emplace_back(compute_audio_timing(*stream));
    keep->audio_gaps.push_back(keep_gaps(audio, stream->audio_gaps));
    // A progressive file states the rates its frames have; a fragmented one what its live
    // segmenter states before the frames come, so that the two write the same bytes.
    if (layout == Layout::kProgressive) {
      mp4::RateMeter meter = rate_meter(audio);
      for (const ts::AudioFrame& frame : stream->audio_frames) meter.add(static_cast<std::uint32_t>(frame.size));
      audio.rates = meter.rates();
    }
  }
  align_tracks(video, std::span<AudioTrackTiming>(keep->audio));

  std::vector<AudioTrackSource> audio_tracks;
  for (std::size_t i = 0; i < keep->audio.size(); ++i) audio_tracks.push_back({&keep->audio[i], keep->audio_streams[i]});
  converted.outline = outline_movie(keep->descriptions, d, has_video ? &video : nullptr, audio_tracks, layout);
  mp4::MovieModel& model = converted.outline.model;
  if (has_video) {
    // Each NAL unit is its 4-byte length, then its bytes where the packets carry them; both
    // go straight into the file as it is written.
    // The sample records follow from the access units and their timing as they are written.
    TrackSamples& v = model.tracks.front();
    v.derived_count = units.size();
    // Each generation of parameter sets is an entry of its own, from its first picture on.
    for (const ts::ParameterGeneration& g : d.later_parameters) v.description_starts.push_back(g.first_unit);
    VideoSampleTimes* times = &keep->video_samples.emplace(TimedUnits{units.size(), d.unit_stamps}, video.shift);
    v.read_samples = [&d, times](std::uint64_t first, std::span<OutputSample> out) {
      for (std::size_t k = 0; k < out.size(); ++k) {
        const auto i = static_cast<std::size_t>(first + k);
        const auto [duration, offset] = times->at(i);
        out[k] = OutputSample{static_cast<std::uint32_t>(d.sample_size(i)), duration, offset,
                              d.access_units[i].sync != 0, static_cast<std::uint8_t>(d.access_units[i].leading)};
      }
    };
    v.gather_media = [&d](const std::function<void(ByteView)>& sink) {
      ts::ElementaryStream::Copier copier(d.video);
      nal::put_length_prefixed(copier, d.nal_units, sink);
    };
  }
  const std::size_t first_audio = model.tracks.size() - keep->audio.size();
  for (std::size_t t = 0; t < keep->audio.size(); ++t) {
    const ts::DemuxedAudio& stream = *keep->audio_streams[t];
    TrackSamples& a = model.tracks[first_audio + t];
    a.derived_count = stream.audio_frames.size();
    a.read_samples = [&stream, lengths = &keep->audio_gaps[t], delta = keep->audio[t].sample_delta](
                         std::uint64_t first, std::span<OutputSample> out) {
      for (std::size_t k = 0; k < out.size(); ++k)
        out[k] = OutputSample{static_cast<std::uint32_t>(stream.audio_frames[static_cast<std::size_t>(first + k)].size),
                              delta, 0, true};
      // The frame before each gap lasts longer.
      const auto& gaps = stream.audio_gaps;
      auto gap = std::upper_bound(gaps.begin(), gaps.end(), first,
                                  [](std::uint64_t f, const ts::AudioGap& g) { return f < g.frame; });
      for (; gap != gaps.end() && gap->frame <= first + out.size(); ++gap)
        out[static_cast<std::size_t>(gap->frame - 1 - first)].duration = (*lengths)[static_cast<std::size_t>(gap - gaps.begin())];
    };
    a.gather_media = [&stream](const std::function<void(ByteView)>& sink) {
      ts::ElementaryStream::Copier copier(stream.audio);
      for (const ts::AudioFrame& frame : stream.audio_frames) copier.copy(frame.begin, frame.size, sink);
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
  if (!(seconds >= kMinFragmentDuration) || seconds > 1e6) return fail(msg::kInvalidFragmentDuration);
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

Result<std::unique_ptr<mp4::PlannedOutput>> plan_ts_to_mp4(ByteView input, const ts::DiagnosticSink& diagnostics,
                                                           ts::AudioStreams audio_streams) {
  return plan_mp4(PLEXO_TRY(ts::demux_ts(input, diagnostics, ts::VideoUnits::kAll, audio_streams)));
}

Result<SummarisedMovie> summarise_ts(ByteView input, ts::AudioStreams audio_streams) {
  // The stream a piece at a time; the access units and audio frames it gives are counted and
  // let go, all but the last unit and the last two frames of each audio stream, which the
  // demultiplexer may still look at (an E-AC-3 substream joins the frame before it; the frames
  // held tell whether the audio's description is decided).
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  constexpr std::size_t kUnitsHeld = 1, kFramesHeld = 2;
  ts::StreamDemuxer demux(ts::DiagnosticSink::discard(), audio_streams);
  const ts::TsDemuxResult& d = demux.result();
  StreamCounts counts;
  std::vector<ts::UnitStamp> stamps;  // of every unit, numbered from the stream's first
  // Per audio stream (the result's own, then `more_audio`): frames counted, the anchor and
  // the gaps numbered from the stream's first frame, and the rates of the frames taken.
  struct AudioCount {
    std::uint64_t frames = 0;
    std::optional<ts::AudioAnchor> anchor;
    std::vector<ts::AudioGap> gaps;
    std::optional<mp4::RateMeter> rates;
  };
  std::vector<AudioCount> audio_counts;
  auto stream = [&d](std::size_t i) -> const ts::DemuxedAudio& { return i == 0 ? d : d.more_audio[i - 1]; };
  auto take = [&](std::size_t units_held, std::size_t frames_held) {
    const std::size_t units = d.access_units.size() - std::min(d.access_units.size(), units_held);
    for (const ts::UnitStamp& stamp : d.unit_stamps)
      if (stamp.unit < units) stamps.push_back({stamp.unit + counts.units, stamp.times});
    count_units(d, 0, units, counts);
    audio_counts.resize(1 + d.more_audio.size());
    std::size_t base_frames = 0;
    for (std::size_t i = 0; i < audio_counts.size(); ++i) {
      const ts::DemuxedAudio& audio = stream(i);
      AudioCount& count = audio_counts[i];
      const std::size_t frames = audio.audio_frames.size() - std::min(audio.audio_frames.size(), frames_held);
      // The anchor counts the frames held when it came.
      if (audio.audio_anchor && !count.anchor)
        count.anchor = ts::AudioAnchor{audio.audio_anchor->frame + count.frames, audio.audio_anchor->pts};
      for (const ts::AudioGap& gap : audio.audio_gaps)
        if (gap.frame <= frames) count.gaps.push_back({gap.frame + count.frames, gap.ticks});
      if (frames > 0 && !count.rates) count.rates.emplace(rate_meter(compute_audio_timing(audio, 0, std::nullopt)));
      for (std::size_t k = 0; k < frames; ++k) count.rates->add(static_cast<std::uint32_t>(audio.audio_frames[k].size));
      count.frames += frames;
      if (i == 0) base_frames = frames;
      else demux.release_more_audio(i - 1, frames);
    }
    demux.release(units, base_frames);
  };
  for (std::size_t at = 0; at < input.size(); at += kPiece) {
    demux.push(input.subspan(at, std::min(kPiece, input.size() - at)));
    take(kUnitsHeld, kFramesHeld);
  }
  demux.finish();
  if (!demux.saw_sync_byte()) return fail(msg::kNoSyncByte);
  take(0, 0);
  for (const AudioCount& count : audio_counts) counts.frames = std::max(counts.frames, count.frames);
  PLEXO_CHECK(check_convertible(d, counts));

  VideoTiming video = compute_video_timing({static_cast<std::size_t>(counts.units), stamps});
  std::vector<AudioTrackTiming> audio;
  std::vector<AudioTrackSource> audio_tracks;
  std::vector<std::uint64_t> audio_frames;
  for (std::size_t i = 0; i < audio_counts.size(); ++i)
    if (audio_counts[i].frames > 0) {
      audio.push_back(compute_audio_timing(stream(i), audio_counts[i].frames, audio_counts[i].anchor));
      keep_gaps(audio.back(), audio_counts[i].gaps);
      audio.back().rates = audio_counts[i].rates->rates();
      audio_frames.push_back(audio_counts[i].frames);
    }
  align_tracks(video, std::span<AudioTrackTiming>(audio));
  for (std::size_t i = 0, t = 0; i < audio_counts.size(); ++i)
    if (audio_counts[i].frames > 0) audio_tracks.push_back({&audio[t++], &stream(i)});
  TrackDescriptions descriptions;
  MovieOutline outline = outline_movie(descriptions, d, counts.units > 0 ? &video : nullptr, audio_tracks,
                                       Layout::kProgressive);
  // The movie as convert_ts_to_mp4 writes it, but for its sample tables: what they would
  // list is summarised instead.
  std::vector<mp4::SampleSummary> summaries;
  // The video's sync sample table is written even when it lists none.
  if (counts.units > 0) summaries.push_back({counts.units, counts.sync_units, video.duration});
  for (std::size_t t = 0; t < audio.size(); ++t)
    summaries.push_back({audio_frames[t], audio_frames[t], audio[t].media_duration});
  const mp4::MoviePlan plan = PLEXO_TRY(mp4::MoviePlan::lay_out(std::move(outline.model)));
  return SummarisedMovie{PLEXO_TRY(plan.write_movie()), std::move(summaries)};
}

Result<std::unique_ptr<mp4::PlannedOutput>> plan_ts_to_fmp4(ByteView input, double fragment_duration,
                                                            const ts::DiagnosticSink& diagnostics,
                                                            ts::AudioStreams audio_streams) {
  PLEXO_CHECK(check_fragment_duration(fragment_duration));
  return plan_fmp4(PLEXO_TRY(ts::demux_ts(input, diagnostics, ts::VideoUnits::kAll, audio_streams)), fragment_duration);
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
Status write_media(const InputFile& file, const ConvertedStream& converted, const mp4::MoviePlan& plan, Open&& open) {
  const ts::TsDemuxResult& d = converted.demuxed;
  // The tracks in model order: the video (when it has units), then each audio track.
  std::deque<TrackPieces> pieces;
  std::deque<std::optional<Writer>> outs;
  if (!d.access_units.empty()) {
    pieces.emplace_back(d.video, d.nal_units);
    open(outs.emplace_back(), plan.media_offset(0), FileWriter::kBufferSize);
  }
  for (const ts::DemuxedAudio* stream : converted.audio_streams) {
    pieces.emplace_back(stream->audio, stream->audio_frames);
    // Audio is a small part of a recording: a quarter of the buffer.
    open(outs.emplace_back(), plan.media_offset(pieces.size() - 1), FileWriter::kBufferSize / 4);
  }
  const std::size_t tracks = pieces.size();
  InputWindow window(file);
  for (;;) {
    // The track whose next piece comes first in the input (the earlier track on a tie).
    std::size_t next = tracks;
    for (std::size_t t = 0; t < tracks; ++t)
      if (!pieces[t].done() && (next == tracks || pieces[t].offset() < pieces[next].offset())) next = t;
    if (next == tracks) break;
    if (!pieces[next].put_next(window, *outs[next])) return window.status();
  }
  // Each track ends where the next begins, the last at the end of the file.
  for (std::size_t track = 0; track < tracks; ++track) {
    Writer& writer = *outs[track];
    PLEXO_CHECK(writer.flush());
    const std::uint64_t end = track + 1 < tracks ? plan.media_offset(track + 1) : plan.size();
    if (writer.position() != end) return fail(msg::kMediaSizeMismatch);
  }
  return {};
}

}  // namespace

Result<std::uint64_t> convert_file(int in, int out, const ts::DiagnosticSink& diagnostics,
                                   ts::AudioStreams audio_streams) {
  InputFile file = PLEXO_TRY(InputFile::open(in));
  ConvertedMovie converted =
      PLEXO_TRY(convert_movie(PLEXO_TRY(ts::demux_ts_file(file, diagnostics, audio_streams)), Layout::kProgressive));
  file.release_all();
  const mp4::MoviePlan plan = PLEXO_TRY(mp4::MoviePlan::lay_out(std::move(converted.outline.model)));
  if (!FileWriter::writes_at_offsets(out)) {
    // A pipe takes the file front to back: the tracks' media one after the other.
    FileWriter writer(out, {&file});
    PLEXO_CHECK(plan.write(writer));
    return plan.size();
  }
  const ConvertedStream& demuxed = *converted.keep;
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
