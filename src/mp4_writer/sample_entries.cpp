#include "mp4_writer/sample_entries.hpp"

#include "codecs/h264/h264.hpp"
#include "mp4_parser/sample_entries.hpp"

namespace plexo::mp4w {

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

Buffer audio_sample_description(const AudioTrackTiming& audio) {
  mp4::AudioSampleEntry mp4a;
  mp4a.format = "mp4a";
  mp4a.channel_count = audio.config.channel_count();
  mp4a.set_rate(audio.config.sample_rate());
  const auto config = audio.config.bytes();
  mp4::ElementaryStreamDescriptor esds;
  esds.decoder_specific_info = ByteView(config.data(), config.size());
  const Buffer descriptor = esds.payload();
  mp4a.configuration.push_back({"esds", descriptor.view()});
  return mp4::sample_description(mp4a);
}

}  // namespace plexo::mp4w
