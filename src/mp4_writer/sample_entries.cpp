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

namespace {

// The entry of one generation of parameter sets (`configuration` holds its avcC or hvcC).
mp4::VisualSampleEntry video_entry(const ts::TsDemuxResult& d, const std::vector<std::uint8_t>* vps,
                                   const std::vector<std::uint8_t>* sps, const std::vector<std::uint8_t>* pps,
                                   std::uint16_t width, std::uint16_t height, Buffer& configuration) {
  const bool hevc = d.video_codec == VideoCodec::kHevc;
  mp4::VisualSampleEntry entry;
  // hvc1, not hev1: every parameter set is in the hvcC, and Apple's players open only hvc1.
  entry.format = hevc ? FourCC("hvc1") : FourCC("avc1");
  entry.width = width;
  entry.height = height;
  // The demultiplexer keeps pictures only once it holds the parameter sets, each short enough
  // for a 16-bit length and (for HEVC) each read.
  if (hevc && vps && sps && pps) {
    if (auto fields = hevc::read_sps(*sps)) {
      hevc::put_decoder_configuration(configuration, *fields, *vps, *sps, *pps);
      entry.configuration.push_back({"hvcC", configuration.view()});
    }
  } else if (!hevc && sps && pps) {
    h264::put_decoder_configuration(configuration, *sps, *pps);
    entry.configuration.push_back({"avcC", configuration.view()});
  }
  return entry;
}

const std::vector<std::uint8_t>* held(const std::optional<std::vector<std::uint8_t>>& set) {
  return set ? &*set : nullptr;
}

}  // namespace

Buffer video_sample_description(const ts::TsDemuxResult& d, std::size_t generation) {
  // One entry per generation of parameter sets, the stream's first one first.
  const std::size_t count = 1 + d.later_parameters.size();
  const std::size_t first = generation == kEveryGeneration ? 0 : std::min(generation, count - 1);
  const std::size_t end = generation == kEveryGeneration ? count : first + 1;
  std::vector<Buffer> configurations(end - first);
  std::vector<mp4::VisualSampleEntry> entries;
  for (std::size_t k = first; k < end; ++k) {
    Buffer& configuration = configurations[k - first];
    if (k == 0) {
      entries.push_back(video_entry(d, held(d.vps), held(d.sps), held(d.pps), d.width, d.height, configuration));
    } else {
      const ts::ParameterGeneration& g = d.later_parameters[k - 1];
      entries.push_back(video_entry(d, &g.vps, &g.sps, &g.pps, g.width, g.height, configuration));
    }
  }
  return mp4::sample_description(std::span<const mp4::VisualSampleEntry>(entries));
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
