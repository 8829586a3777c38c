// Cutting the H.264 elementary stream into MP4 video samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/buffer.hpp"
#include "core/bytes.hpp"
#include "core/error.hpp"

namespace plexo::mp4w {

// One NAL unit of an Annex B stream: its start code, its header byte and its end (exclusive).
struct NalUnit {
  std::size_t start;
  std::size_t header;
  std::size_t end;
};

// The next NAL unit whose start code lies at or after `from`. A unit runs to the next start
// code, except that a start code in the last three bytes of the stream is not recognised;
// zero bytes in front of a start code beyond its own stay with the unit before it.
std::optional<NalUnit> next_nal_unit(ByteView es, std::size_t from);

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

// Appends one sample in length-prefixed form.
void write_video_sample(Buffer& out, ByteView es, const VideoSample& sample);

}  // namespace plexo::mp4w
