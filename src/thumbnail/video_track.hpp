// The first H.264 video track of a movie, with what the key-frame search needs from it.
#pragma once

#include <cstdint>
#include <optional>

#include "codecs/h264/h264.hpp"
#include "mp4_parser/box_cursor.hpp"
#include "mp4_parser/movie.hpp"

namespace plexo::thumbnail {

struct VideoTrack {
  std::uint32_t track_id = 0;
  mp4::SampleTableBoxes tables;
  std::optional<h264::DecoderConfiguration> avc;
};

// The first track whose handler is "vide", with a track_ID, and whose first sample entry is
// avc1 or avc3 (the movie read with the locator's walk).
std::optional<VideoTrack> find_video_track(const mp4::Movie& movie);

// The avcC of the first sample entry of an stbl, when the entry is avc1/avc3 and has a
// readable one (for a file read without the movie model).
std::optional<h264::DecoderConfiguration> sample_entry_avc(const mp4::Box& stbl);

}  // namespace plexo::thumbnail
