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

// No stream stretches its pixels further than this either way.
constexpr std::uint32_t kMaxAspectStretch = 16;

std::optional<std::uint64_t> display_width_1616(std::uint16_t width, const vui::SampleAspectRatio& sar) {
  const std::uint32_t h = sar.horizontal, v = sar.vertical;
  if (h == 0 || v == 0 || h > kMaxAspectStretch * v || v > kMaxAspectStretch * h) return std::nullopt;
  const std::uint64_t shown = ((std::uint64_t{width} * h << 16) + v / 2) / v;
  if (shown < (std::uint64_t{1} << 16) || shown >= (std::uint64_t{1} << 32)) return std::nullopt;
  return shown;
}

// What an entry states about the rates of a stream whose frames are not known yet: no
// average (as for a stream whose rate varies), and for the highest rate and the buffer what
// the codec allows at most: AAC's decoder buffer of 6144 bits per channel, filled once a
// frame; MPEG audio's highest bitrate for its version and layer.
mp4::StreamRates rate_bounds(const AudioTrackTiming& audio, const ts::DemuxedAudio& d) {
  constexpr std::uint32_t kAacBufferBytesPerChannel = 6144 / 8;
  mp4::StreamRates bounds;
  if (audio.codec == ts::AudioCodec::kMpegAudio) {
    const mpeg_audio::FrameHeader highest = mpeg_audio::highest_rate_frame(*d.mpeg_audio_header);
    bounds.buffer_size = highest.frame_length;
    bounds.max_bitrate = highest.bitrate;
  } else {
    bounds.buffer_size = kAacBufferBytesPerChannel * audio.channel_count;
    bounds.max_bitrate = static_cast<std::uint32_t>(std::uint64_t{bounds.buffer_size} * 8 * audio.sample_rate /
                                                    aac::kFrameSamples);
  }
  return bounds;
}

// The rates an esds states: those measured, else the bounds.
void set_rates(mp4::ElementaryStreamDescriptor& esds, const AudioTrackTiming& audio, const ts::DemuxedAudio& d) {
  const mp4::StreamRates rates = audio.rates ? *audio.rates : rate_bounds(audio, d);
  esds.buffer_size = rates.buffer_size;
  esds.max_bitrate = rates.max_bitrate;
  esds.average_bitrate = rates.average_bitrate;
}

}  // namespace

VideoPresentation video_presentation(const ts::TsDemuxResult& d, const std::vector<std::uint8_t>* sps,
                                     std::uint16_t width) {
  VideoPresentation shown;
  shown.hdr = d.hdr;
  if (!sps) return shown;
  vui::VideoUsability usability;
  if (d.video_codec == VideoCodec::kHevc) {
    if (auto fields = hevc::read_sps(*sps)) usability = fields->usability;
  } else if (auto fields = h264::read_sps(*sps)) {
    usability = fields->usability;
  }
  if (usability.aspect_ratio && display_width_1616(width, *usability.aspect_ratio))
    shown.aspect_ratio = usability.aspect_ratio;
  shown.colour = usability.colour;
  return shown;
}

namespace {

const std::vector<std::uint8_t>* held(const std::optional<std::vector<std::uint8_t>>& set) {
  return set ? &*set : nullptr;
}

// The parameter sets and picture size of one generation, the stream's first one being 0.
struct Generation {
  const std::vector<std::uint8_t>* vps;
  const std::vector<std::uint8_t>* sps;
  const std::vector<std::uint8_t>* pps;
  std::uint16_t width;
  std::uint16_t height;
};

Generation generation_of(const ts::TsDemuxResult& d, std::size_t k) {
  if (k == 0 || d.later_parameters.empty()) return {held(d.vps), held(d.sps), held(d.pps), d.width, d.height};
  const ts::ParameterGeneration& g = d.later_parameters[std::min(k, d.later_parameters.size()) - 1];
  return {&g.vps, &g.sps, &g.pps, g.width, g.height};
}

// The payloads an entry's boxes view, kept until the description is written.
struct EntryBoxes {
  Buffer configuration, aspect, colour, display, light;
};

// The entry of one generation of parameter sets: its avcC or hvcC, then pasp when the samples
// are not square, colr when the stream describes its colours, mdcv and clli when its SEI
// carry them.
mp4::VisualSampleEntry video_entry(const ts::TsDemuxResult& d, const Generation& g, EntryBoxes& boxes) {
  const bool hevc = d.video_codec == VideoCodec::kHevc;
  mp4::VisualSampleEntry entry;
  // hvc1, not hev1: every parameter set is in the hvcC, and Apple's players open only hvc1.
  entry.format = hevc ? FourCC("hvc1") : FourCC("avc1");
  entry.width = g.width;
  entry.height = g.height;
  // The demultiplexer keeps pictures only once it holds the parameter sets, each short enough
  // for a 16-bit length and (for HEVC) each read.
  if (hevc && g.vps && g.sps && g.pps) {
    if (auto fields = hevc::read_sps(*g.sps)) {
      hevc::put_decoder_configuration(boxes.configuration, *fields, *g.vps, *g.sps, *g.pps);
      entry.configuration.push_back({"hvcC", boxes.configuration.view()});
    }
  } else if (!hevc && g.sps && g.pps) {
    h264::put_decoder_configuration(boxes.configuration, *g.sps, *g.pps);
    entry.configuration.push_back({"avcC", boxes.configuration.view()});
  }
  const VideoPresentation shown = video_presentation(d, g.sps, g.width);
  if (const auto& sar = shown.aspect_ratio; sar && sar->horizontal != sar->vertical) {
    boxes.aspect = mp4::PixelAspectRatio{sar->horizontal, sar->vertical}.payload();
    entry.configuration.push_back({"pasp", boxes.aspect.view()});
  }
  if (const auto& c = shown.colour) {
    boxes.colour = mp4::ColourInformation{c->primaries, c->transfer, c->matrix, c->full_range}.payload();
    entry.configuration.push_back({"colr", boxes.colour.view()});
  }
  if (const auto& m = shown.hdr.mastering_display) {
    boxes.display = mp4::MasteringDisplayColourVolume{m->primaries, m->white_x, m->white_y, m->max_luminance,
                                                      m->min_luminance}.payload();
    entry.configuration.push_back({"mdcv", boxes.display.view()});
  }
  if (const auto& l = shown.hdr.content_light_level) {
    boxes.light = mp4::ContentLightLevelBox{l->max_content, l->max_average}.payload();
    entry.configuration.push_back({"clli", boxes.light.view()});
  }
  return entry;
}

}  // namespace

std::pair<std::uint32_t, std::uint32_t> display_size(const ts::TsDemuxResult& d, std::size_t generation) {
  const Generation g = generation_of(d, generation);
  const auto sar = video_presentation(d, g.sps, g.width).aspect_ratio;
  const std::uint32_t width =
      sar ? static_cast<std::uint32_t>(*display_width_1616(g.width, *sar)) : std::uint32_t{g.width} << 16;
  return {width, std::uint32_t{g.height} << 16};
}

Buffer video_sample_description(const ts::TsDemuxResult& d, std::size_t generation) {
  // One entry per generation of parameter sets, the stream's first one first.
  const std::size_t count = 1 + d.later_parameters.size();
  const std::size_t first = generation == kEveryGeneration ? 0 : std::min(generation, count - 1);
  const std::size_t end = generation == kEveryGeneration ? count : first + 1;
  std::vector<EntryBoxes> boxes(end - first);
  std::vector<mp4::VisualSampleEntry> entries;
  for (std::size_t k = first; k < end; ++k) entries.push_back(video_entry(d, generation_of(d, k), boxes[k - first]));
  return mp4::sample_description(std::span<const mp4::VisualSampleEntry>(entries));
}

Buffer audio_sample_description(const AudioTrackTiming& audio, const ts::DemuxedAudio& d) {
  switch (audio.codec) {
    case ts::AudioCodec::kMpegAudio: {
      const mpeg_audio::FrameHeader& header = *d.mpeg_audio_header;
      mp4::ElementaryStreamDescriptor esds;
      esds.object_type = header.mpeg1() ? kObjectTypeMpeg1Audio : kObjectTypeMpeg2Audio;
      set_rates(esds, audio, d);
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
      set_rates(esds, audio, d);
      const Buffer descriptor = esds.payload();
      mp4::AudioSampleEntry entry = audio_entry("mp4a", audio);
      entry.configuration.push_back({"esds", descriptor.view()});
      return mp4::sample_description(entry);
    }
  }
}

}  // namespace plexo::mp4w
