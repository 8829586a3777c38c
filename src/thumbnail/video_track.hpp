// The first H.264 or HEVC video track of a movie, with what the key-frame search needs from it.
#pragma once

#include <cstdint>
#include <optional>

#include "codecs/video_codec.hpp"
#include "core/error.hpp"
#include "mp4_parser/box_cursor.hpp"
#include "mp4_parser/movie.hpp"

namespace plexo::thumbnail {

// What a sample entry says about its pictures: the codec and, when readable, its avcC or hvcC.
struct SampleEntryCodec {
  VideoCodec codec = VideoCodec::kH264;
  std::optional<nal::DecoderConfiguration> config;
};

struct VideoTrack {
  std::uint32_t track_id = 0;
  mp4::SampleTableBoxes tables;
  SampleEntryCodec entry;
};

// The first track whose handler is "vide", with a track_ID, and whose first sample entry is
// H.264 (avc1, avc3) or HEVC (hvc1, hev1), of a movie read with the locator's walk. Nothing
// when there is none; an error naming the sample entry when the movie has video, but none of
// those ("Unsupported video track: ...").
Result<std::optional<VideoTrack>> find_video_track(const mp4::Movie& movie);

// The codec and decoder configuration of the first sample entry of an stbl, when the entry is
// H.264 or HEVC (for a file read without the movie model).
std::optional<SampleEntryCodec> sample_entry_codec(const mp4::Box& stbl);

}  // namespace plexo::thumbnail
