#include "mp4_writer/sample_framing.hpp"

#include "core/h264.hpp"

namespace plexo::mp4w {
namespace {

bool kept_in_sample(std::uint8_t type) {
  return type != h264::kSps && type != h264::kPps && type != h264::kAccessUnitDelimiter;
}

bool stream_has_delimiter(ByteView es) {
  std::size_t pos = 0;
  while (auto nal = next_nal_unit(es, pos)) {
    if (h264::nal_type(es[nal->header]) == h264::kAccessUnitDelimiter) return true;
    pos = nal->end;
  }
  return false;
}

// The access unit being collected.
struct OpenUnit {
  bool open = false;
  bool has_slice = false;
  VideoSample sample;
  std::uint64_t size = 0;
};

}  // namespace

std::optional<h264::NalUnit> next_nal_unit(ByteView es, std::size_t from) {
  return h264::next_nal_unit(es, from, h264::TrailingStartCode::kPartOfUnit);
}

Result<FramedVideo> frame_video_samples(ByteView es) {
  FramedVideo framed;
  framed.has_delimiters = stream_has_delimiter(es);

  OpenUnit unit;
  auto close_unit = [&]() -> Status {
    if (unit.open && unit.size > 0) {
      if (unit.size > 0xFFFFFFFFu) return fail("H.264 access unit too large for an MP4 sample");
      unit.sample.size = static_cast<std::uint32_t>(unit.size);
      framed.media_bytes += unit.size;
      framed.samples.push_back(unit.sample);
    }
    unit = OpenUnit{};
    return {};
  };

  std::size_t pos = 0;
  while (auto nal = next_nal_unit(es, pos)) {
    pos = nal->end;
    const std::uint8_t type = h264::nal_type(es[nal->header]);
    const ByteView body = es.subspan(nal->header, nal->end - nal->header);
    const bool opens = framed.has_delimiters
                           ? unit.open && type == h264::kAccessUnitDelimiter
                           : h264::opens_access_unit(body, unit.has_slice);
    if (opens) PLEXO_CHECK(close_unit());
    if (!unit.open) {
      unit.open = true;
      unit.sample.begin = nal->start;
    }
    unit.sample.end = nal->end;
    if (h264::is_vcl(type)) unit.has_slice = true;
    if (type == h264::kIdrSlice) unit.sample.sync = true;
    if (kept_in_sample(type)) unit.size += 4 + body.size();
  }
  PLEXO_CHECK(close_unit());
  return framed;
}

}  // namespace plexo::mp4w
