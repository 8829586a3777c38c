#include "mp4_writer/sample_entries.hpp"

#include "codecs/h264/h264.hpp"
#include "codecs/hevc/hevc.hpp"

namespace plexo::mp4w {
namespace {

constexpr std::uint8_t kObjectTypeMpeg4Audio = 0x40;
constexpr std::uint8_t kObjectTypeMpeg2Audio = 0x69;  // MPEG-2 audio at the lower sample rates
constexpr std::uint8_t kObjectTypeMpeg1Audio = 0x6B;
constexpr std::uint8_t kAudioStreamType = 0x15;  // streamType 5, upStream 0, reserved 1

struct DecoderConfig {
  std::uint8_t object_type;
  std::uint32_t buffer_size;
  std::uint32_t max_bitrate;
  std::uint32_t avg_bitrate;
  ByteView specific_info;  // the DecoderSpecificInfo, left out when empty
};

// ES_Descriptor → DecoderConfigDescriptor → DecoderSpecificInfo, then SLConfigDescriptor;
// every descriptor length fits one byte.
void put_esds(Buffer& out, const DecoderConfig& config) {
  const std::size_t info = config.specific_info.empty() ? 0 : 2 + config.specific_info.size();
  const std::size_t box = out.begin_box("esds");
  out.put_version_flags(0, 0);
  out.put_u8(0x03);
  out.put_u8(static_cast<std::uint8_t>(3 + 2 + 13 + info + 3));
  out.put_u16(1);  // ES_ID
  out.put_u8(0);
  out.put_u8(0x04);
  out.put_u8(static_cast<std::uint8_t>(13 + info));
  out.put_u8(config.object_type);
  out.put_u8(kAudioStreamType);
  out.put_u24(config.buffer_size);  // bufferSizeDB
  out.put_u32(config.max_bitrate);
  out.put_u32(config.avg_bitrate);
  if (info) {
    out.put_u8(0x05);
    out.put_u8(static_cast<std::uint8_t>(config.specific_info.size()));
    out.put(config.specific_info);
  }
  out.put_u8(0x06);
  out.put_u8(1);
  out.put_u8(0x02);
  out.end_box(box);
}

// An AudioSampleEntry's fields, up to its codec's own box.
std::size_t open_audio_entry(Buffer& out, FourCC type, const AudioTrackTiming& audio) {
  const std::size_t entry = out.begin_box(type);
  out.put_zeros(6);
  out.put_u16(1);  // data_reference_index
  out.put_zeros(8);
  out.put_u16(audio.channel_count);
  out.put_u16(16);  // samplesize
  out.put_u32(0);   // pre_defined, reserved
  // 16.16 fixed point; rates above 65535 Hz do not fit and are left to the codec's own box.
  out.put_u32(audio.sample_rate <= 0xFFFF ? audio.sample_rate << 16 : 0);
  return entry;
}

}  // namespace

Buffer video_sample_description(const ts::TsDemuxResult& d) {
  Buffer out;
  out.put_version_flags(0, 0);
  out.put_u32(1);
  const bool hevc = d.video_codec == VideoCodec::kHevc;
  // hvc1, not hev1: every parameter set is in the hvcC, and Apple's players open only hvc1.
  const std::size_t entry = out.begin_box(hevc ? FourCC("hvc1") : FourCC("avc1"));
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
  // The demultiplexer keeps pictures only once it holds the parameter sets, each short enough
  // for a 16-bit length and (for HEVC) each read.
  if (hevc && d.vps && d.sps && d.pps) {
    if (auto fields = hevc::read_sps(*d.sps)) {
      const std::size_t hvcc = out.begin_box("hvcC");
      hevc::put_decoder_configuration(out, *fields, *d.vps, *d.sps, *d.pps);
      out.end_box(hvcc);
    }
  } else if (!hevc && d.sps && d.pps) {
    const std::size_t avcc = out.begin_box("avcC");
    h264::put_decoder_configuration(out, *d.sps, *d.pps);
    out.end_box(avcc);
  }
  out.end_box(entry);
  return out;
}

Buffer audio_sample_description(const AudioTrackTiming& audio, const ts::TsDemuxResult& d) {
  Buffer out;
  out.put_version_flags(0, 0);
  out.put_u32(1);
  switch (audio.codec) {
    case ts::AudioCodec::kMpegAudio: {
      const mpeg_audio::FrameHeader& header = *d.mpeg_audio_header;
      const std::size_t entry = open_audio_entry(out, "mp4a", audio);
      put_esds(out, {header.mpeg1() ? kObjectTypeMpeg1Audio : kObjectTypeMpeg2Audio, header.frame_length + 1u,
                     header.bitrate, header.bitrate, {}});
      out.end_box(entry);
      break;
    }
    case ts::AudioCodec::kAc3:
    case ts::AudioCodec::kEac3: {
      const bool enhanced = audio.codec == ts::AudioCodec::kEac3;
      const std::size_t entry = open_audio_entry(out, enhanced ? "ec-3" : "ac-3", audio);
      const std::size_t specific = out.begin_box(enhanced ? "dec3" : "dac3");
      if (enhanced) ac3::put_dec3(out, *d.ec3_config);
      else ac3::put_dac3(out, *d.ac3_frame);
      out.end_box(specific);
      out.end_box(entry);
      break;
    }
    default: {
      const std::size_t entry = open_audio_entry(out, "mp4a", audio);
      const auto specific_info = audio.config.bytes();
      put_esds(out, {kObjectTypeMpeg4Audio, 768, 128000, 128000, ByteView(specific_info.data(), specific_info.size())});
      out.end_box(entry);
      break;
    }
  }
  return out;
}

}  // namespace plexo::mp4w
