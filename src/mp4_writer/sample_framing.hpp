// Cutting the H.264 elementary stream into MP4 video samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/buffer.hpp"
#include "core/bytes.hpp"
#include "core/error.hpp"
#include "core/h264.hpp"

namespace plexo::mp4w {

// The next NAL unit whose start code lies at or after `from`. A start code in the last three
// bytes of the stream is not recognised and stays with the unit before it.
std::optional<h264::NalUnit> next_nal_unit(ByteView es, std::size_t from);

// One access unit as an MP4 sample: the byte range of its NAL units in the elementary
// stream and the size it takes in length-prefixed form (parameter sets and delimiters left
// out, since they travel in avcC or carry nothing an MP4 reader needs).
struct VideoSample {
  std::uint64_t begin = 0;  // start code of the access unit's first NAL unit
  std::uint64_t end = 0;    // end of its last NAL unit
  std::uint32_t size = 0;   // bytes in the file: 4-byte length + NAL unit, per kept unit
  bool sync = false;        // holds an IDR slice
};

struct FramedVideo {
  std::vector<VideoSample> samples;
  std::uint64_t media_bytes = 0;
  bool has_delimiters = false;
};

// Access units begin at delimiters when the stream has any; otherwise at the standard
// picture boundaries (a first slice of a new picture, or SEI / parameter sets after a slice).
// Fails only when one access unit does not fit a 32-bit sample size.
Result<FramedVideo> frame_video_samples(ByteView es);

// Calls visit(nal_unit) for each NAL unit of `sample` that its length-prefixed form keeps.
template <class Visit>
void for_each_kept_unit(ByteView es, const VideoSample& sample, Visit&& visit) {
  // The units are found again exactly as framing found them: the scan restarts at a unit
  // boundary of the whole stream and stops at the sample's end.
  std::size_t pos = static_cast<std::size_t>(sample.begin);
  while (auto nal = next_nal_unit(es, pos)) {
    if (nal->start >= sample.end) break;
    pos = nal->end;
    const std::uint8_t type = h264::nal_type(es[nal->header]);
    if (type == h264::kSps || type == h264::kPps || type == h264::kAccessUnitDelimiter) continue;
    visit(*nal);
  }
}

}  // namespace plexo::mp4w
