// The first H.264 video track of a movie, with what the key-frame search needs from it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/bytes.hpp"
#include "thumbnail/box_search.hpp"

namespace plexo::thumbnail {

// The decoder configuration (avcC) of a sample entry.
struct AvcConfig {
  std::size_t length_size = 4;  // width of each sample's NAL length fields
  std::vector<ByteView> parameter_sets;  // SPS units, then PPS units, as stored
};

struct VideoTrack {
  std::uint32_t track_id = 0;
  BoxSpan stbl;
  std::optional<AvcConfig> avc;
};

// The first trak whose handler is "vide" and whose first sample entry is avc1 or avc3.
std::optional<VideoTrack> find_video_track(ByteView input, const BoxSpan& moov);

// The avcC of the first sample entry of a trak's stbl, when the entry is avc1/avc3 and has
// a readable one.
std::optional<AvcConfig> sample_entry_avc(ByteView input, const BoxSpan& stbl);

}  // namespace plexo::thumbnail
