#include "mp4_writer/mp4_writer.hpp"

#include <limits>

#include "mp4_writer/box_writing.hpp"
#include "mp4_writer/movie_box.hpp"

namespace plexo::mp4w {
namespace {

constexpr std::size_t kFtypSize = 28;

void write_ftyp(Buffer& out) {
  auto box = out.begin_box("ftyp");
  out.put_fourcc("isom");
  out.put_u32(0x00000200);
  out.put_fourcc("isom");
  out.put_fourcc("iso2");
  out.put_fourcc("mp41");
  out.end_box(box);
}

}  // namespace

Result<Buffer> write_mp4(ts::TsDemuxResult demuxed) {
  PLEXO_CHECK(ts::check_supported_streams(demuxed));
  // A stream without one complete picture gives no file rather than one no player opens.
  if (demuxed.access_units.empty()) return fail("No video data found");

  const std::uint64_t video_size = PLEXO_TRY(video_media_bytes(demuxed));
  const std::uint64_t audio_size = audio_media_bytes(demuxed);
  if (!fits_u32(demuxed.access_units.size()) || !fits_u32(demuxed.audio_frames.size()))
    return fail("Too many samples for an MP4 track");

  MoviePlan plan{demuxed, compute_video_timing(demuxed.access_units), {}, false};
  if (!demuxed.audio_frames.empty()) plan.audio = compute_audio_timing(demuxed);
  align_tracks(plan.video, plan.audio);

  const std::uint64_t media_size = video_size + audio_size;
  Buffer out;
  {
    auto total = checked_add(kFtypSize + movie_box_size_bound(plan) + 16, media_size);
    if (!total || *total > std::numeric_limits<std::size_t>::max() / 2)
      return fail("MP4 output too large");
    out.reserve(static_cast<std::size_t>(*total));
  }

  // 32-bit sizes and chunk offsets while the whole file stays below 4 GiB; beyond that a
  // 64-bit mdat size and co64 offsets.
  write_ftyp(out);
  ChunkOffsetSlots slots = write_moov(out, plan);
  if (!fits_u32(out.size() + 8 + media_size)) {
    plan.large_offsets = true;
    out.vector().resize(kFtypSize);
    slots = write_moov(out, plan);
  }
  if (!fits_u32(out.size() - kFtypSize)) return fail("MP4 movie box would exceed 4 GiB");

  const std::size_t mdat_header = plan.large_offsets ? 16 : 8;
  const std::uint64_t video_offset = out.size() + mdat_header;
  const std::uint64_t audio_offset = video_offset + video_size;
  if (plan.large_offsets) {
    out.patch_u64(slots.video, video_offset);
    if (slots.audio) out.patch_u64(*slots.audio, audio_offset);
    out.put_u32(1);
    out.put_fourcc("mdat");
    out.put_u64(mdat_header + media_size);
  } else {
    out.patch_u32(slots.video, static_cast<std::uint32_t>(video_offset));
    if (slots.audio) out.patch_u32(*slots.audio, static_cast<std::uint32_t>(audio_offset));
    out.put_u32(static_cast<std::uint32_t>(mdat_header + media_size));
    out.put_fourcc("mdat");
  }

  // The media goes from the packet payloads of the input straight into the file.
  write_video_samples(out, demuxed);
  write_audio_frames(out, demuxed);
  return out;
}

}  // namespace plexo::mp4w
