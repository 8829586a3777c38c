#include "mp4_writer/sample_entries.hpp"

#include "codecs/h264/h264.hpp"
#include "codecs/hevc/hevc.hpp"
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
  const bool hevc = d.video_codec == VideoCodec::kHevc;
  mp4::VisualSampleEntry entry;
  // hvc1, not hev1: every parameter set is in the hvcC, and Apple's players open only hvc1.
  entry.format = hevc ? FourCC("hvc1") : FourCC("avc1");
  entry.width = d.width;
  entry.height = d.height;
  // The demultiplexer keeps pictures only once it holds the parameter sets, each short enough
  // for a 16-bit length and (for HEVC) each read.
  Buffer configuration;
  if (hevc && d.vps && d.sps && d.pps) {
    if (auto fields = hevc::read_sps(*d.sps)) {
      hevc::put_decoder_configuration(configuration, *fields, *d.vps, *d.sps, *d.pps);
      entry.configuration.push_back({"hvcC", configuration.view()});
    }
  } else if (!hevc && d.sps && d.pps) {
    h264::put_decoder_configuration(configuration, *d.sps, *d.pps);
    entry.configuration.push_back({"avcC", configuration.view()});
  }
  return mp4::sample_description(entry);
}

Buffer audio_sample_description(const AudioTrackTiming& audio, const ts::DemuxedAudio& d) {
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
