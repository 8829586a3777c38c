#include "mp4_writer/box_writing.hpp"
#include "mp4_writer/movie_box.hpp"
#include "mp4_writer/timeline.hpp"

namespace plexo::mp4w {
namespace {

constexpr std::uint8_t kObjectTypeMpeg4Audio = 0x40;
constexpr std::uint8_t kAudioStreamType = 0x15;  // streamType 5, upStream 0, reserved 1

// ES_Descriptor → DecoderConfigDescriptor → DecoderSpecificInfo (AudioSpecificConfig),
// then SLConfigDescriptor; every descriptor length fits one byte.
void write_esds(Buffer& out, const AudioTrackTiming& audio) {
  auto box = begin_full_box(out, "esds", 0, 0);
  out.put_u8(0x03);
  out.put_u8(25);
  out.put_u16(1);  // ES_ID
  out.put_u8(0);
  out.put_u8(0x04);
  out.put_u8(17);
  out.put_u8(kObjectTypeMpeg4Audio);
  out.put_u8(kAudioStreamType);
  out.put_u24(768);      // bufferSizeDB
  out.put_u32(128000);   // maxBitrate
  out.put_u32(128000);   // avgBitrate
  out.put_u8(0x05);
  out.put_u8(2);
  for (std::uint8_t b : audio.audio_specific_config()) out.put_u8(b);
  out.put_u8(0x06);
  out.put_u8(1);
  out.put_u8(0x02);
  out.end_box(box);
}

void write_mp4a_stsd(Buffer& out, const AudioTrackTiming& audio) {
  auto stsd = begin_full_box(out, "stsd", 0, 0);
  out.put_u32(1);
  auto mp4a = out.begin_box("mp4a");
  out.put_zeros(6);
  out.put_u16(1);  // data_reference_index
  out.put_zeros(8);
  out.put_u16(audio.channel_count);
  out.put_u16(16);  // samplesize
  out.put_u32(0);   // pre_defined, reserved
  // 16.16 fixed point; rates above 65535 Hz do not fit and are left to the esds.
  out.put_u32(audio.sample_rate <= 0xFFFF ? audio.sample_rate << 16 : 0);
  write_esds(out, audio);
  out.end_box(mp4a);
  out.end_box(stsd);
}

void write_stsz(Buffer& out, const std::vector<ts::AudioFrame>& frames) {
  auto box = begin_full_box(out, "stsz", 0, 0);
  out.put_u32(0);
  out.put_u32(static_cast<std::uint32_t>(frames.size()));
  for (const auto& f : frames) out.put_u32(static_cast<std::uint32_t>(f.size));
  out.end_box(box);
}

}  // namespace

std::size_t write_audio_trak(Buffer& out, const MoviePlan& plan) {
  const AudioTrackTiming& audio = *plan.audio;
  const auto& frames = plan.demuxed.audio_frames;
  const auto count = static_cast<std::uint32_t>(frames.size());

  auto trak = out.begin_box("trak");
  write_tkhd(out, kAudioTrackId, track_duration(audio), 0x0100, 0, 0);
  auto mdia = out.begin_box("mdia");
  write_mdhd(out, audio.timescale, audio.media_duration);
  write_hdlr(out, "soun");
  auto minf = out.begin_box("minf");
  auto smhd = begin_full_box(out, "smhd", 0, 0);
  out.put_u32(0);  // balance, reserved
  out.end_box(smhd);
  write_dinf(out);
  auto stbl = out.begin_box("stbl");
  write_mp4a_stsd(out, audio);
  write_single_entry_stts(out, count, audio.sample_delta);
  write_single_chunk_stsc(out, count);
  write_stsz(out, frames);
  const std::size_t offset_slot = write_chunk_offset_placeholder(out, plan.large_offsets);
  out.end_box(stbl);
  out.end_box(minf);
  out.end_box(mdia);
  if (audio.empty_edit > 0) write_delay_edts(out, audio.empty_edit, audio.movie_duration);
  out.end_box(trak);
  return offset_slot;
}

}  // namespace plexo::mp4w
