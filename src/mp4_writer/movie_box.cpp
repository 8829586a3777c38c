#include "mp4_writer/movie_box.hpp"

#include <algorithm>

#include "mp4_writer/box_writing.hpp"
#include "mp4_writer/timeline.hpp"

namespace plexo::mp4w {
namespace {

void write_mvhd(Buffer& out, std::uint64_t duration, std::uint32_t next_track_id) {
  const std::uint8_t version = fits_u32(duration) ? 0 : 1;
  auto box = begin_full_box(out, "mvhd", version, 0);
  put_zero_times(out, version);
  out.put_u32(kMovieTimescale);
  put_duration(out, version, duration);
  out.put_u32(0x00010000);  // rate 1.0
  out.put_u16(0x0100);      // volume 1.0
  out.put_zeros(10);
  put_unity_matrix(out);
  out.put_zeros(24);
  out.put_u32(next_track_id);
  out.end_box(box);
}

}  // namespace

ChunkOffsetSlots write_moov(Buffer& out, const MoviePlan& plan) {
  // The movie lasts as long as its longest track presents anything.
  std::uint64_t duration = track_duration(plan.video);
  if (plan.audio) duration = std::max(duration, track_duration(*plan.audio));

  ChunkOffsetSlots slots;
  auto moov = out.begin_box("moov");
  write_mvhd(out, duration, plan.audio ? kAudioTrackId + 1 : kVideoTrackId + 1);
  slots.video = write_video_trak(out, plan);
  if (plan.audio) slots.audio = write_audio_trak(out, plan);
  out.end_box(moov);
  return slots;
}

std::size_t movie_box_size_bound(const MoviePlan& plan) {
  const auto& d = plan.demuxed;
  std::size_t bound = 4096;
  if (d.sps) bound += d.sps->size();
  if (d.pps) bound += d.pps->size();
  // stts, stsz, stss and ctts entries per video sample; stsz per audio frame.
  bound += d.access_units.size() * (8 + 4 + 4 + 8);
  if (plan.audio) bound += d.audio_frames.size() * 4;
  return bound;
}

}  // namespace plexo::mp4w
