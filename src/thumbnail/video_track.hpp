// The first H.264 video track of a movie, with what the key-frame search needs from it.
#pragma once

#include <cstdint>
#include <optional>

#include "core/bytes.hpp"
#include "codecs/h264/h264.hpp"
#include "mp4_parser/box_cursor.hpp"

namespace plexo::thumbnail {

struct VideoTrack {
  std::uint32_t track_id = 0;
  mp4::Box stbl;
  std::optional<h264::DecoderConfiguration> avc;
};

// The first child of `type` of `parent` (after `skip` payload bytes), found with the
// locator's walk: every legal size form; a malformed size ends the search.
std::optional<mp4::Box> locate_child(const mp4::Box& parent, FourCC type, std::size_t skip = 0);

// The first trak whose handler is "vide" and whose first sample entry is avc1 or avc3.
std::optional<VideoTrack> find_video_track(const mp4::Box& moov);

// The avcC of the first sample entry of a trak's stbl, when the entry is avc1/avc3 and has
// a readable one.
std::optional<h264::DecoderConfiguration> sample_entry_avc(const mp4::Box& stbl);

}  // namespace plexo::thumbnail
