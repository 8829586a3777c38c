#include "mp4_writer/box_writing.hpp"
#include "mp4_writer/movie_box.hpp"
#include "mp4_writer/timeline.hpp"

namespace plexo::mp4w {
namespace {

constexpr std::uint8_t kHighProfile = 100;
constexpr std::uint8_t kLevel31 = 31;

// AVCDecoderConfigurationRecord with 4-byte NAL lengths and one SPS and one PPS.
void write_avcc(Buffer& out, const std::vector<std::uint8_t>& sps,
                const std::vector<std::uint8_t>& pps) {
  auto box = out.begin_box("avcC");
  out.put_u8(1);  // configurationVersion
  if (sps.size() > 3) {
    out.put_u8(sps[1]);
    out.put_u8(sps[2]);
    out.put_u8(sps[3]);
  } else {
    out.put_u8(kHighProfile);
    out.put_u8(0);
    out.put_u8(kLevel31);
  }
  out.put_u8(0xFF);  // lengthSizeMinusOne 3
  out.put_u8(0xE1);  // one SPS
  out.put_u16(static_cast<std::uint16_t>(sps.size()));
  out.put(sps);
  out.put_u8(1);
  out.put_u16(static_cast<std::uint16_t>(pps.size()));
  out.put(pps);
  out.end_box(box);
}

void write_avc1_stsd(Buffer& out, const ts::TsDemuxResult& d) {
  auto stsd = begin_full_box(out, "stsd", 0, 0);
  out.put_u32(1);
  auto avc1 = out.begin_box("avc1");
  out.put_zeros(6);
  out.put_u16(1);  // data_reference_index
  out.put_zeros(16);
  out.put_u16(d.width);
  out.put_u16(d.height);
  out.put_u32(0x00480000);  // 72 dpi
  out.put_u32(0x00480000);
  out.put_u32(0);
  out.put_u16(1);  // frame_count
  out.put_zeros(32);
  out.put_u16(0x0018);
  out.put_u16(0xFFFF);
  // Parameter sets longer than 16 bits cannot be described; the track then goes without.
  if (d.sps && d.pps && d.sps->size() <= 0xFFFF && d.pps->size() <= 0xFFFF)
    write_avcc(out, *d.sps, *d.pps);
  out.end_box(avc1);
  out.end_box(stsd);
}

// Without an IDR there is no sync sample to list; a track without stss would call every
// sample one, an empty stss none, and players refuse to seek in either. Leave it out.
void write_stss(Buffer& out, const std::vector<ts::AccessUnit>& samples) {
  bool any = false;
  for (const auto& s : samples) any |= s.sync;
  if (!any) return;
  auto box = begin_full_box(out, "stss", 0, 0);
  const std::size_t count_at = out.size();
  out.put_u32(0);
  std::uint32_t count = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (!samples[i].sync) continue;
    out.put_u32(static_cast<std::uint32_t>(i + 1));
    ++count;
  }
  out.patch_u32(count_at, count);
  out.end_box(box);
}

void write_stsz(Buffer& out, const std::vector<ts::AccessUnit>& samples) {
  auto box = begin_full_box(out, "stsz", 0, 0);
  out.put_u32(0);
  out.put_u32(static_cast<std::uint32_t>(samples.size()));
  for (const auto& s : samples) out.put_u32(static_cast<std::uint32_t>(s.sample_size));
  out.end_box(box);
}

// One pair per sample. Version 1 makes the offsets signed, which B-frames need once the
// offsets are taken relative to the first sample.
void write_ctts(Buffer& out, const VideoTiming& timing) {
  auto box = begin_full_box(out, "ctts", timing.negative_offsets ? 1 : 0, 0);
  out.put_u32(static_cast<std::uint32_t>(timing.composition_offsets.size()));
  for (std::int32_t offset : timing.composition_offsets) {
    out.put_u32(1);
    out.put_u32(static_cast<std::uint32_t>(offset));
  }
  out.end_box(box);
}

}  // namespace

std::size_t write_video_trak(Buffer& out, const MoviePlan& plan) {
  const auto& d = plan.demuxed;
  const auto& samples = d.access_units;
  const auto count = static_cast<std::uint32_t>(samples.size());

  auto trak = out.begin_box("trak");
  write_tkhd(out, kVideoTrackId, track_duration(plan.video), 0, d.width, d.height);
  auto mdia = out.begin_box("mdia");
  write_mdhd(out, kMovieTimescale, plan.video.duration);
  write_hdlr(out, "vide");
  auto minf = out.begin_box("minf");
  auto vmhd = begin_full_box(out, "vmhd", 0, 1);
  out.put_zeros(8);  // graphicsmode, opcolor
  out.end_box(vmhd);
  write_dinf(out);
  auto stbl = out.begin_box("stbl");
  write_avc1_stsd(out, d);
  write_stts_runs(out, plan.video.durations);
  write_stss(out, samples);
  write_single_chunk_stsc(out, count);
  write_stsz(out, samples);
  const std::size_t offset_slot = write_chunk_offset_placeholder(out, plan.large_offsets);
  if (!plan.video.composition_offsets.empty()) write_ctts(out, plan.video);
  out.end_box(stbl);
  out.end_box(minf);
  out.end_box(mdia);
  if (plan.video.empty_edit > 0) write_delay_edts(out, plan.video.empty_edit, plan.video.duration);
  out.end_box(trak);
  return offset_slot;
}

}  // namespace plexo::mp4w
