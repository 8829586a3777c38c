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
mp4::StreamRates rate_bounds(const AudioTrackTiming& audio, const ts::TsDemuxResult& d) {
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
void set_rates(mp4::ElementaryStreamDescriptor& esds, const AudioTrackTiming& audio, const ts::TsDemuxResult& d) {
  const mp4::StreamRates rates = audio.rates ? *audio.rates : rate_bounds(audio, d);
  esds.buffer_size = rates.buffer_size;
  esds.max_bitrate = rates.max_bitrate;
  esds.average_bitrate = rates.average_bitrate;
}

}  // namespace

VideoPresentation video_presentation(const ts::TsDemuxResult& d) {
  VideoPresentation shown;
  shown.hdr = d.hdr;
  if (!d.sps) return shown;
  vui::VideoUsability usability;
  if (d.video_codec == VideoCodec::kHevc) {
    if (auto fields = hevc::read_sps(*d.sps)) usability = fields->usability;
  } else if (auto fields = h264::read_sps(*d.sps)) {
    usability = fields->usability;
  }
  if (usability.aspect_ratio && display_width_1616(d.width, *usability.aspect_ratio))
    shown.aspect_ratio = usability.aspect_ratio;
  shown.colour = usability.colour;
  return shown;
}

std::uint32_t display_width(const ts::TsDemuxResult& d) {
  const auto sar = video_presentation(d).aspect_ratio;
  return sar ? static_cast<std::uint32_t>(*display_width_1616(d.width, *sar)) : std::uint32_t{d.width} << 16;
}

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
  const VideoPresentation shown = video_presentation(d);
  Buffer aspect, colour, display, light;
  if (const auto& sar = shown.aspect_ratio; sar && sar->horizontal != sar->vertical) {
    aspect = mp4::PixelAspectRatio{sar->horizontal, sar->vertical}.payload();
    entry.configuration.push_back({"pasp", aspect.view()});
  }
  if (const auto& c = shown.colour) {
    colour = mp4::ColourInformation{c->primaries, c->transfer, c->matrix, c->full_range}.payload();
    entry.configuration.push_back({"colr", colour.view()});
  }
  if (const auto& m = shown.hdr.mastering_display) {
    display = mp4::MasteringDisplayColourVolume{m->primaries, m->white_x, m->white_y, m->max_luminance,
                                                m->min_luminance}.payload();
    entry.configuration.push_back({"mdcv", display.view()});
  }
  if (const auto& l = shown.hdr.content_light_level) {
    light = mp4::ContentLightLevelBox{l->max_content, l->max_average}.payload();
    entry.configuration.push_back({"clli", light.view()});
  }
  return mp4::sample_description(entry);
}

Buffer audio_sample_description(const AudioTrackTiming& audio, const ts::TsDemuxResult& d) {
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
