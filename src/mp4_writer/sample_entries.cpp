#include "mp4_writer/sample_entries.hpp"

#include "codecs/h264/h264.hpp"
#include "mp4_parser/sample_entries.hpp"

namespace plexo::mp4w {
namespace {

constexpr std::uint8_t kObjectTypeMpeg4Audio = 0x40;
constexpr std::uint8_t kObjectTypeMpeg2Audio = 0x69;  // MPEG-2 audio at the lower sample rates
constexpr std::uint8_t kObjectTypeMpeg1Audio = 0x6B;

// An AudioSampleEntry with the track's channel count and rate.
mp4::AudioSampleEntry audio_entry(FourCC format, const AudioTrackTiming& audio) {
  mp4::AudioSampleEntry entry;
  entry.format = format;
  entry.channel_count = audio.channel_count;
  entry.set_rate(audio.sample_rate);
  return entry;
}

}  // namespace

Buffer video_sample_description(const ts::TsDemuxResult& d) {
  mp4::VisualSampleEntry avc1;
  avc1.format = "avc1";
  avc1.width = d.width;
  avc1.height = d.height;
  // The demultiplexer keeps pictures only once it holds both parameter sets, each short
  // enough for a 16-bit length.
  Buffer avcc;
  if (d.sps && d.pps) {
    h264::put_decoder_configuration(avcc, *d.sps, *d.pps);
    avc1.configuration.push_back({"avcC", avcc.view()});
  }
  return mp4::sample_description(avc1);
}

Buffer audio_sample_description(const AudioTrackTiming& audio, const ts::TsDemuxResult& d) {
  switch (audio.codec) {
    case ts::AudioCodec::kMpegAudio: {
      const mpeg_audio::FrameHeader& header = *d.mpeg_audio_header;
      mp4::ElementaryStreamDescriptor esds;
      esds.object_type = header.mpeg1() ? kObjectTypeMpeg1Audio : kObjectTypeMpeg2Audio;
      esds.buffer_size = header.frame_length + 1u;
      esds.max_bitrate = esds.average_bitrate = header.bitrate;
      const Buffer descriptor = esds.payload();
      mp4::AudioSampleEntry entry = audio_entry("mp4a", audio);
      entry.configuration.push_back({"esds", descriptor.view()});
      return mp4::sample_description(entry);
    }
    case ts::AudioCodec::kAc3:
    case ts::AudioCodec::kEac3: {
      const bool enhanced = audio.codec == ts::AudioCodec::kEac3;
      Buffer specific;
      if (enhanced) ac3::put_dec3(specific, *d.ec3_config);
      else ac3::put_dac3(specific, *d.ac3_frame);
      mp4::AudioSampleEntry entry = audio_entry(enhanced ? "ec-3" : "ac-3", audio);
      entry.configuration.push_back({enhanced ? FourCC("dec3") : FourCC("dac3"), specific.view()});
      return mp4::sample_description(entry);
    }
    default: {
      const auto config = audio.config.bytes();
      mp4::ElementaryStreamDescriptor esds;
      esds.object_type = kObjectTypeMpeg4Audio;
      esds.decoder_specific_info = ByteView(config.data(), config.size());
      const Buffer descriptor = esds.payload();
      mp4::AudioSampleEntry entry = audio_entry("mp4a", audio);
      entry.configuration.push_back({"esds", descriptor.view()});
      return mp4::sample_description(entry);
    }
  }
}

}  // namespace plexo::mp4w
