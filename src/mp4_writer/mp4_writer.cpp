// The converted file as a movie-writer model: the timing the stream's timestamps give
// (video_timing, audio_timing) and the samples of sample_framing become two tracks.
#include "mp4_writer/mp4_writer.hpp"

#include <algorithm>

#include "mp4_parser/operations.hpp"
#include "mp4_writer/audio_timing.hpp"
#include "mp4_writer/sample_entries.hpp"
#include "mp4_writer/sample_framing.hpp"
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
  std::vector<std::uint8_t> nal_lengths;  // the 4-byte length before each kept NAL unit
  Buffer video_description;
  Buffer audio_description;
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

}  // namespace

Result<std::unique_ptr<mp4::PlannedOutput>> plan_mp4(ts::TsDemuxResult demuxed) {
  if (demuxed.video_es.empty()) return fail("No video data found");
  auto keep = std::make_unique<ConvertedStream>();
  keep->demuxed = std::move(demuxed);
  const ts::TsDemuxResult& d = keep->demuxed;
  const ByteView es = d.video_es.view();

  const FramedVideo video = PLEXO_TRY(frame_video_samples(es));
  for (const auto& frame : d.audio_frames)
    if (!mp4::fits_u32(frame.size())) return fail("AAC frame too large for an MP4 sample");
  if (!mp4::fits_u32(video.samples.size()) || !mp4::fits_u32(d.audio_frames.size()))
    return fail("Too many samples for an MP4 track");
  const VideoTiming timing = compute_video_timing(d, video.samples);
  std::optional<AudioTrackTiming> audio;
  if (!d.audio_frames.empty()) audio = compute_audio_timing(d, timing);

  mp4::MovieModel model;
  model.file_type = {"isom", 0x200, {"isom", "iso2", "mp41"}};

  // Video: each kept NAL unit is its 4-byte length, then its bytes in the stream.
  TrackSamples& v = model.tracks.emplace_back();
  v.samples.reserve(video.samples.size());
  std::vector<std::size_t> length_pieces;
  for (std::size_t i = 0; i < video.samples.size(); ++i) {
    const VideoSample& s = video.samples[i];
    const std::int32_t offset = timing.composition_offsets.empty() ? 0 : timing.composition_offsets[i];
    v.samples.push_back(OutputSample{s.size, timing.sample_delta, offset, s.sync});
    for_each_kept_unit(es, s, [&](const h264::NalUnit& nal) {
      const auto length = static_cast<std::uint32_t>(nal.end - nal.header);
      for (int shift = 24; shift >= 0; shift -= 8)
        keep->nal_lengths.push_back(static_cast<std::uint8_t>(length >> shift));
      length_pieces.push_back(v.media.size());
      v.media.emplace_back();  // the length, pointed at once the lengths are all written
      v.media.push_back(nal.bytes(es));
    });
  }
  for (std::size_t k = 0; k < length_pieces.size(); ++k)
    v.media[length_pieces[k]] = ByteView(keep->nal_lengths.data() + 4 * k, 4);
  keep->video_description = video_sample_description(d);
  v.sample_description = keep->video_description.view();

  std::uint64_t movie_duration = timing.duration;
  model.moov.add(BoxNode());  // the mvhd, once the duration is known
  model.moov.add(trak(kVideoTrackId, timing.duration, 0, d.width, d.height, kMovieTimescale,
                      timing.duration, "vide", 0, {}));

  if (audio) {
    TrackSamples& a = model.tracks.emplace_back();
    a.sync_table = false;  // every AAC frame is a sync sample
    a.samples.reserve(d.audio_frames.size());
    for (const auto& frame : d.audio_frames) {
      a.samples.push_back(OutputSample{static_cast<std::uint32_t>(frame.size()), audio->sample_delta, 0, true});
      if (!frame.empty()) a.media.emplace_back(frame.data(), frame.size());
    }
    keep->audio_description = audio_sample_description(*audio);
    a.sample_description = keep->audio_description.view();
    model.moov.add(trak(kAudioTrackId, audio->track_duration, 0x0100, 0, 0, audio->timescale,
                        audio->media_duration, "soun", 1, audio->edits));
    movie_duration = std::max(movie_duration, audio->track_duration);
  }

  mp4::MovieHeader mvhd;
  mvhd.timescale = kMovieTimescale;
  mvhd.duration = movie_duration;
  mvhd.next_track_id = audio ? kAudioTrackId + 1 : kVideoTrackId + 1;
  model.moov.set_child(0, BoxNode::typed(mvhd));

  mp4::MoviePlan plan = PLEXO_TRY(mp4::MoviePlan::lay_out(std::move(model)));
  return std::unique_ptr<mp4::PlannedOutput>(
      new mp4::PlannedMovie<std::unique_ptr<ConvertedStream>>(std::move(keep), std::move(plan)));
}

Result<Buffer> write_mp4(ts::TsDemuxResult demuxed) {
  auto planned = PLEXO_TRY(plan_mp4(std::move(demuxed)));
  return mp4::write_planned(*planned);
}

Result<std::unique_ptr<mp4::PlannedOutput>> plan_ts_to_mp4(ByteView input) {
  return plan_mp4(PLEXO_TRY(ts::demux_ts(input)));
}

}  // namespace plexo::mp4w
