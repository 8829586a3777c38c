// Movie fragments into per-track sample lists.
#include <algorithm>
#include <bit>
#include <unordered_map>

#include "mp4_parser/fragments.hpp"

namespace plexo::mp4 {
namespace {

using namespace fragment_flags;

struct FragmentDefaults {
  std::uint32_t track_id = 0;
  std::optional<std::uint64_t> base_data_offset;
  bool base_is_moof = false;
  std::optional<std::uint32_t> duration, size, flags;
};

std::uint32_t flags_of(ByteView full_box) { return *load_u32(full_box, 0) & 0xFFFFFF; }

FragmentDefaults read_fragment_header(const std::vector<BoxView>& traf) {
  FragmentDefaults defaults;
  for (const BoxView& tfhd : traf) {
    if (tfhd.box_type != FourCC("tfhd") || tfhd.payload.size() < 8) continue;
    ByteView p = tfhd.payload;
    std::uint32_t flags = flags_of(p);
    defaults.track_id = *load_u32(p, 4);
    defaults.base_is_moof = (flags & kDefaultBaseIsMoof) != 0;
    std::size_t at = 8;
    if (flags & kBaseDataOffsetPresent) {
      defaults.base_data_offset = load_u64(p, at);
      at += 8;
    }
    if (flags & kSampleDescriptionIndexPresent) at += 4;
    auto optional_field = [&](std::uint32_t flag, std::optional<std::uint32_t>& field) {
      if (!(flags & flag)) return;
      if (auto value = load_u32(p, at)) {
        field = *value;
        at += 4;
      }
    };
    optional_field(kDefaultDurationPresent, defaults.duration);
    optional_field(kDefaultSizePresent, defaults.size);
    optional_field(kDefaultFlagsPresent, defaults.flags);
  }
  return defaults;
}

std::optional<std::uint64_t> read_decode_time(const std::vector<BoxView>& traf) {
  const BoxView* tfdt = find_child(traf, FourCC("tfdt"));
  if (!tfdt) return std::nullopt;
  if (is_version1(tfdt->payload)) return load_u64(tfdt->payload, 4);
  auto value = load_u32(tfdt->payload, 4);
  if (!value) return std::nullopt;
  return *value;
}

// Counts every sample and media byte that the fragments place, so that runs cannot make the
// tables or the output grow beyond what the input backs: real samples never share bytes.
struct Budget {
  std::uint64_t samples_left;
  std::uint64_t bytes_left;
};

class FragmentReader {
 public:
  FragmentReader(ByteView input, std::vector<TrackRecord>& tracks)
      : input_(input), tracks_(tracks), budget_{input.size(), input.size()} {
    // A run belongs to the first track with its ID.
    for (std::size_t i = 0; i < tracks.size(); ++i) index_.emplace(tracks[i].track_id, i);
  }

  Status read_moof(const BoxView& moof) {
    auto children = PLEXO_TRY(parse_box_views(moof.payload));
    bool first_traf = true;
    std::uint64_t previous_end = moof.offset;
    for (const BoxView& traf : children) {
      if (traf.box_type != FourCC("traf")) continue;
      auto traf_children = PLEXO_TRY(parse_box_views(traf.payload));
      FragmentDefaults header = read_fragment_header(traf_children);
      TrackRecord* track = find_track(header.track_id);

      // Sample bytes are addressed from the explicit base, else from the moof, else from
      // where the previous track fragment's data ended.
      std::uint64_t base = previous_end;
      if (header.base_data_offset) base = *header.base_data_offset;
      else if (header.base_is_moof || first_traf) base = moof.offset;
      first_traf = false;

      if (track) follow_decode_time(*track, read_decode_time(traf_children));

      Defaults defaults;
      const TrackExtends* extends = track ? &track->extends : nullptr;
      defaults.duration = header.duration.value_or(extends ? extends->duration : 0);
      defaults.size = header.size.value_or(extends ? extends->size : 0);
      defaults.flags = header.flags.value_or(extends ? extends->flags : 0);

      std::uint64_t position = base;
      for (const BoxView& trun : traf_children) {
        if (trun.box_type != FourCC("trun")) continue;
        position = read_run(trun.payload, base, position, defaults, track);
      }
      previous_end = position;
    }
    return {};
  }

 private:
  struct Defaults {
    std::uint32_t duration = 0, size = 0, flags = 0;
  };

  // Sample times come from durations; where a fragment's decode time says its samples start
  // later (or earlier) than the durations so far reach, the track's previous sample absorbs
  // the difference, so every sample keeps the decode time the fragments gave it.
  void follow_decode_time(TrackRecord& track, std::optional<std::uint64_t> decode_time) {
    if (!decode_time) return;
    if (!track.first_decode_time) {
      // Samples placed before any decode time leave the track's timeline to its durations.
      if (!track.samples.empty()) return;
      track.first_decode_time = decode_time;
      track.next_decode_time = *decode_time;
      return;
    }
    if (track.samples.empty()) {
      track.next_decode_time = *decode_time;
      return;
    }
    SampleRecord& last = track.samples.back();
    if (*decode_time > track.next_decode_time) {
      std::uint64_t stretched = last.duration + (*decode_time - track.next_decode_time);
      std::uint32_t duration = stretched > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(stretched);
      track.next_decode_time += duration - last.duration;
      last.duration = duration;
    } else if (*decode_time < track.next_decode_time) {
      std::uint64_t shrink = std::min<std::uint64_t>(track.next_decode_time - *decode_time, last.duration);
      last.duration -= static_cast<std::uint32_t>(shrink);
      track.next_decode_time -= shrink;
    }
  }

  TrackRecord* find_track(std::uint32_t track_id) {
    auto found = index_.find(track_id);
    return found == index_.end() ? nullptr : &tracks_[found->second];
  }

  // Appends one run's samples; returns where its data ended (the next run's default start).
  std::uint64_t read_run(ByteView p, std::uint64_t base, std::uint64_t position,
                         const Defaults& defaults, TrackRecord* track) {
    if (p.size() < 8) return position;
    std::uint32_t flags = flags_of(p);
    std::uint32_t count = *load_u32(p, 4);
    std::size_t at = 8;
    if (flags & kDataOffsetPresent) {
      auto offset = load_u32(p, 8);
      if (!offset) return position;
      std::int64_t signed_offset = static_cast<std::int32_t>(*offset);
      if (signed_offset < 0 && static_cast<std::uint64_t>(-signed_offset) > base) return position;
      position = base + static_cast<std::uint64_t>(signed_offset);
      if (position < base && signed_offset >= 0) return position;  // wrapped
      at = 12;
    }
    std::optional<std::uint32_t> first_flags;
    if (flags & kFirstSampleFlagsPresent) {
      first_flags = load_u32(p, at);
      at += 4;
    }
    const std::size_t entry_width = 4u * std::popcount(flags & 0xF00u);

    for (std::uint32_t i = 0; i < count; ++i) {
      SampleRecord sample{defaults.duration, defaults.size, defaults.flags, 0};
      if (i == 0 && first_flags) sample.flags = *first_flags;
      bool from_table = entry_width > 0 && at <= p.size() && p.size() - at >= entry_width;
      auto field = [&](std::uint32_t flag, std::uint32_t& value) {
        if (!(flags & flag)) return;
        if (auto read = load_u32(p, at)) {
          value = *read;
          at += 4;
        }
      };
      field(kDurationPresent, sample.duration);
      field(kSizePresent, sample.size);
      field(kFlagsPresent, sample.flags);
      field(kCompositionOffsetPresent, sample.composition_offset);

      // A sample stands on its table entry or on its bytes; one with neither (a count with
      // nothing behind it) ends the run, as does one whose bytes lie outside the input.
      if (!from_table && sample.size == 0) break;
      if (position > input_.size() || input_.size() - position < sample.size) break;
      if (budget_.samples_left == 0 || budget_.bytes_left < sample.size) break;
      --budget_.samples_left;
      budget_.bytes_left -= sample.size;
      if (track) {
        track->samples.push_back(sample);
        track->sample_offsets.push_back(position);
        track->data_length += sample.size;
        track->next_decode_time += sample.duration;
      }
      position += sample.size;
    }
    return position;
  }

  ByteView input_;
  std::vector<TrackRecord>& tracks_;
  std::unordered_map<std::uint32_t, std::size_t> index_;
  Budget budget_;
};

}  // namespace

Status collect_fragments(ByteView bytes, const std::vector<BoxView>& boxes,
                         std::vector<TrackRecord>& tracks) {
  FragmentReader reader(bytes, tracks);
  for (const BoxView& box : boxes)
    if (box.box_type == FourCC("moof")) PLEXO_CHECK(reader.read_moof(box));
  return {};
}

}  // namespace plexo::mp4
