// The track descriptions of a movie box.
#include <unordered_map>

#include "mp4_parser/fragments.hpp"

namespace plexo::mp4 {
namespace {

std::uint32_t read_track_id(const std::vector<BoxView>& children) {
  for (const BoxView& child : children) {
    if (child.box_type != FourCC("tkhd") || child.payload.size() < 12) continue;
    std::size_t at = is_version1(child.payload) ? 20 : 12;
    return load_u32(child.payload, at).value_or(0);
  }
  return 0;
}

Status read_media(ByteView mdia_payload, TrackRecord& track) {
  auto children = PLEXO_TRY(parse_box_views(mdia_payload));
  for (const BoxView& child : children) {
    if (child.box_type == FourCC("mdhd")) {
      bool v1 = is_version1(child.payload);
      if (child.payload.size() >= (v1 ? 24u : 20u))
        track.timescale = *load_u32(child.payload, v1 ? 20 : 12);
    } else if (child.box_type == FourCC("minf")) {
      auto minf = PLEXO_TRY(parse_box_views(child.payload));
      for (const BoxView& stbl : minf) {
        if (stbl.box_type != FourCC("stbl")) continue;
        auto tables = PLEXO_TRY(parse_box_views(stbl.payload));
        for (const BoxView& table : tables)
          if (table.box_type == FourCC("stsd"))
            track.stsd.assign(table.payload.begin(), table.payload.end());
      }
    }
  }
  return {};
}

// trex: version/flags, track_ID, default description index, duration, size, flags.
Status apply_track_extends(ByteView mvex_payload, std::vector<TrackRecord>& tracks) {
  auto children = PLEXO_TRY(parse_box_views(mvex_payload));
  std::unordered_map<std::uint32_t, std::size_t> index;  // the first track with each ID
  for (std::size_t i = 0; i < tracks.size(); ++i) index.emplace(tracks[i].track_id, i);
  for (const BoxView& trex : children) {
    if (trex.box_type != FourCC("trex") || trex.payload.size() < 24) continue;
    auto found = index.find(*load_u32(trex.payload, 4));
    if (found == index.end()) continue;
    tracks[found->second].extends =
        TrackExtends{*load_u32(trex.payload, 8), *load_u32(trex.payload, 12),
                     *load_u32(trex.payload, 16), *load_u32(trex.payload, 20)};
  }
  return {};
}

}  // namespace

Result<std::vector<TrackRecord>> read_tracks(ByteView moov_payload) {
  auto children = PLEXO_TRY(parse_box_views(moov_payload));
  std::vector<TrackRecord> tracks;
  for (const BoxView& trak : children) {
    if (trak.box_type != FourCC("trak")) continue;
    auto trak_children = PLEXO_TRY(parse_box_views(trak.payload));
    TrackRecord track;
    track.track_id = read_track_id(trak_children);
    for (const BoxView& child : trak_children)
      if (child.box_type == FourCC("mdia")) PLEXO_CHECK(read_media(child.payload, track));
    tracks.push_back(std::move(track));
  }
  for (const BoxView& child : children)
    if (child.box_type == FourCC("mvex")) PLEXO_CHECK(apply_track_extends(child.payload, tracks));
  return tracks;
}

void TrackRecord::append_data(Buffer& out, ByteView input) const {
  // Samples that follow each other in the input are copied as one range.
  std::size_t i = 0;
  const std::size_t n = samples.size();
  while (i < n) {
    std::uint64_t start = sample_offsets[i];
    std::uint64_t end = start + samples[i].size;
    for (++i; i < n && sample_offsets[i] == end; ++i) end += samples[i].size;
    out.put(input.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
  }
}

}  // namespace plexo::mp4
