// The first H.264 or HEVC video track of a movie, with what the key-frame search needs from it.
#pragma once

#include <cstdint>
#include <optional>

#include "core/bytes.hpp"
#include "codecs/video_codec.hpp"
#include "core/error.hpp"
#include "mp4_parser/box_cursor.hpp"

namespace plexo::thumbnail {

// What a sample entry says about its pictures: the codec and, when readable, its avcC or hvcC.
struct SampleEntryCodec {
  VideoCodec codec = VideoCodec::kH264;
  std::optional<nal::DecoderConfiguration> config;
};

struct VideoTrack {
  std::uint32_t track_id = 0;
  mp4::Box stbl;
  SampleEntryCodec entry;
};

// The first child of `type` of `parent` (after `skip` payload bytes), found with the
// locator's walk: every legal size form; a malformed size ends the search.
std::optional<mp4::Box> locate_child(const mp4::Box& parent, FourCC type, std::size_t skip = 0);

// The first trak whose handler is "vide" and whose first sample entry is H.264 (avc1, avc3)
// or HEVC (hvc1, hev1). Nothing when there is none; an error naming the sample entry when the
// movie has video, but none of those ("Unsupported video track: ...").
Result<std::optional<VideoTrack>> find_video_track(const mp4::Box& moov);

// The codec and decoder configuration of the first sample entry of a trak's stbl, when the
// entry is H.264 or HEVC.
std::optional<SampleEntryCodec> sample_entry_codec(const mp4::Box& stbl);

}  // namespace plexo::thumbnail
