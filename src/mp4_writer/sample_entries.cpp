#include "mp4_writer/sample_entries.hpp"

#include "codecs/h264/h264.hpp"

namespace plexo::mp4w {
namespace {

constexpr std::uint8_t kObjectTypeMpeg4Audio = 0x40;
constexpr std::uint8_t kAudioStreamType = 0x15;  // streamType 5, upStream 0, reserved 1

// ES_Descriptor → DecoderConfigDescriptor → DecoderSpecificInfo (AudioSpecificConfig),
// then SLConfigDescriptor; every descriptor length fits one byte.
void put_esds(Buffer& out, const AudioTrackTiming& audio) {
  const std::size_t box = out.begin_box("esds");
  out.put_version_flags(0, 0);
  out.put_u8(0x03);
  out.put_u8(25);
  out.put_u16(1);  // ES_ID
  out.put_u8(0);
  out.put_u8(0x04);
  out.put_u8(17);
  out.put_u8(kObjectTypeMpeg4Audio);
  out.put_u8(kAudioStreamType);
  out.put_u24(768);     // bufferSizeDB
  out.put_u32(128000);  // maxBitrate
  out.put_u32(128000);  // avgBitrate
  out.put_u8(0x05);
  out.put_u8(2);
  for (std::uint8_t b : audio.config.bytes()) out.put_u8(b);
  out.put_u8(0x06);
  out.put_u8(1);
  out.put_u8(0x02);
  out.end_box(box);
}

}  // namespace

Buffer video_sample_description(const ts::TsDemuxResult& d) {
  Buffer out;
  out.put_version_flags(0, 0);
  out.put_u32(1);
  const std::size_t avc1 = out.begin_box("avc1");
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
  // The demultiplexer keeps pictures only once it holds both parameter sets, each short
  // enough for a 16-bit length.
  if (d.sps && d.pps) {
    const std::size_t avcc = out.begin_box("avcC");
    h264::put_decoder_configuration(out, *d.sps, *d.pps);
    out.end_box(avcc);
  }
  out.end_box(avc1);
  return out;
}

Buffer audio_sample_description(const AudioTrackTiming& audio) {
  Buffer out;
  out.put_version_flags(0, 0);
  out.put_u32(1);
  const std::size_t mp4a = out.begin_box("mp4a");
  out.put_zeros(6);
  out.put_u16(1);  // data_reference_index
  out.put_zeros(8);
  out.put_u16(audio.config.channel_count());
  out.put_u16(16);  // samplesize
  out.put_u32(0);   // pre_defined, reserved
  // 16.16 fixed point; rates above 65535 Hz do not fit and are left to the esds.
  const std::uint32_t sample_rate = audio.config.sample_rate();
  out.put_u32(sample_rate <= 0xFFFF ? sample_rate << 16 : 0);
  put_esds(out, audio);
  out.end_box(mp4a);
  return out;
}

}  // namespace plexo::mp4w
