#include "mp4_parser/fragmented_file.hpp"

#include <algorithm>
#include <unordered_map>

#include "core/messages.hpp"

namespace plexo::mp4 {
namespace {

// Sample bytes of a track as few pieces as possible: a sample that follows the previous one
// in the input extends its piece.
void append_media(TrackSamples& samples, ByteView file, std::uint64_t offset, std::uint32_t size) {
  if (size == 0) return;
  auto& media = samples.media;
  const std::uint8_t* at = file.data() + offset;
  if (!media.empty() && media.back().data() + media.back().size() == at) {
    media.back() = ByteView(media.back().data(), media.back().size() + size);
    return;
  }
  media.emplace_back(at, size);
}

// The index of the first track with each ID.
std::unordered_map<std::uint32_t, std::size_t> first_of_each_id(std::size_t count,
                                                                auto track_id_of) {
  std::unordered_map<std::uint32_t, std::size_t> index;
  for (std::size_t i = 0; i < count; ++i) index.emplace(track_id_of(i), i);
  return index;
}

class FragmentCollector {
 public:
  FragmentCollector(ByteView file, std::vector<TrackRecord>& tracks)
      : file_(file), tracks_(tracks),
        index_(first_of_each_id(tracks.size(), [&](std::size_t i) { return tracks[i].track_id; })) {}

  bool track_fragment(const TrackFragmentInfo& info) {
    auto found = index_.find(info.track_id);
    track_ = found == index_.end() ? nullptr : &tracks_[found->second];
    if (track_) {
      auto& samples = track_->samples.samples;
      track_->clock.follow(info.decode_time, samples.empty() ? nullptr : &samples.back().duration);
    }
    return track_ != nullptr;
  }

  SampleAction sample(const FragmentSample& s) {
    track_->samples.samples.push_back(
        OutputSample{s.size, s.duration, s.signed_composition_offset(), s.sync()});
    append_media(track_->samples, file_, s.offset, s.size);
    track_->clock.advance(s.duration);
    return SampleAction::kNext;
  }

 private:
  ByteView file_;
  std::vector<TrackRecord>& tracks_;
  std::unordered_map<std::uint32_t, std::size_t> index_;
  TrackRecord* track_ = nullptr;
};

class FragmentCounter {
 public:
  explicit FragmentCounter(const std::vector<std::uint32_t>& track_ids)
      : counts_(track_ids.size()), tracks_(track_ids.size()),
        index_(first_of_each_id(track_ids.size(), [&](std::size_t i) { return track_ids[i]; })) {}

  bool track_fragment(const TrackFragmentInfo& info) {
    auto found = index_.find(info.track_id);
    at_ = found == index_.end() ? kNone : found->second;
    if (at_ == kNone) return false;
    Track& track = tracks_[at_];
    const std::uint32_t before = track.last_duration;
    track.clock.follow(info.decode_time, counts_[at_].samples ? &track.last_duration : nullptr);
    counts_[at_].duration = counts_[at_].duration - before + track.last_duration;
    return true;
  }

  SampleAction sample(const FragmentSample& s) {
    FragmentCounts& counts = counts_[at_];
    ++counts.samples;
    counts.sync_samples += s.sync();
    counts.duration += s.duration;
    tracks_[at_].last_duration = s.duration;
    tracks_[at_].clock.advance(s.duration);
    return SampleAction::kNext;
  }

  std::vector<FragmentCounts> take() { return std::move(counts_); }

 private:
  static constexpr std::size_t kNone = SIZE_MAX;
  struct Track {
    FragmentClock clock;
    std::uint32_t last_duration = 0;
  };
  std::vector<FragmentCounts> counts_;
  std::vector<Track> tracks_;
  std::unordered_map<std::uint32_t, std::size_t> index_;
  std::size_t at_ = kNone;
};

Unexpected<Error> invalid_tables() { return fail(msg::kInvalidSampleTable); }

// The samples of one track's tables, in sample order. Every count is checked against what
// the tables hold before it is used: the samples are at most the entries of stsz (or, at a
// uniform size, what the file holds of that size), and each is placed once.
Status read_table_samples(const SampleTableBoxes& tables, ByteView file, const MediaDataIndex& media,
                          TrackSamples& out) {
  if (!tables.stsz) return {};
  auto sizes = SampleSizes::read(tables.stsz->payload);
  if (!sizes) return invalid_tables();
  const std::uint64_t count = sizes->sample_count;
  if (count == 0) return {};
  if (!sizes->sizes && static_cast<unsigned __int128>(count) * sizes->uniform_size > file.size())
    return fail(msg::kSampleBeyondMdat);
  if (!tables.stsc || !tables.stts || (!tables.stco && !tables.co64)) return invalid_tables();
  auto runs = read_table(tables.stsc->payload, kSampleToChunk);
  auto chunks = tables.stco ? read_table(tables.stco->payload, kChunkOffsets)
                            : read_table(tables.co64->payload, kLargeChunkOffsets);
  auto times = read_table(tables.stts->payload, kTimeToSample);
  if (!runs || !chunks || !times) return invalid_tables();
  std::optional<TableView> offsets, syncs;
  if (tables.ctts && !(offsets = read_table(tables.ctts->payload, kCompositionOffsets))) return invalid_tables();
  if (tables.stss && !(syncs = read_table(tables.stss->payload, kSyncSamples))) return invalid_tables();

  std::vector<OutputSample>& samples = out.samples;
  samples.reserve(static_cast<std::size_t>(count));
  // Chunks: each stsc run lasts until the next run's first chunk, the last until the last chunk.
  for (std::uint32_t r = 0; r < runs->count && samples.size() < count; ++r) {
    const std::uint64_t first_chunk = runs->u32(r, 0);
    const std::uint64_t per_chunk = runs->u32(r, 1);
    const std::uint64_t next_chunk = r + 1 < runs->count ? runs->u32(r + 1, 0) : std::uint64_t{chunks->count} + 1;
    if (first_chunk == 0 || next_chunk <= first_chunk || next_chunk > std::uint64_t{chunks->count} + 1)
      return invalid_tables();
    for (std::uint64_t chunk = first_chunk; chunk < next_chunk && samples.size() < count; ++chunk) {
      const auto index = static_cast<std::uint32_t>(chunk - 1);
      std::uint64_t offset = tables.stco ? chunks->u32(index) : chunks->u64(index);
      for (std::uint64_t k = 0; k < per_chunk && samples.size() < count; ++k) {
        const std::uint32_t size = sizes->size_of(static_cast<std::uint32_t>(samples.size()));
        if (offset > file.size() || size > file.size() - offset || !media.holds(offset, size))
          return fail(msg::kSampleBeyondMdat);
        samples.push_back(OutputSample{size, 0, 0, !syncs});
        append_media(out, file, offset, size);
        offset += size;
      }
    }
  }
  if (samples.size() < count) return invalid_tables();

  // Durations, composition offsets and sync samples, each table entry by entry.
  auto spread = [&](const TableView& table, auto assign) {
    std::uint64_t at = 0;
    for (std::uint32_t e = 0; e < table.count && at < count; ++e)
      for (std::uint64_t n = std::min<std::uint64_t>(table.u32(e, 0), count - at); n > 0; --n)
        assign(samples[static_cast<std::size_t>(at++)], table.u32(e, 1));
    return at;
  };
  if (spread(*times, [](OutputSample& s, std::uint32_t delta) { s.duration = delta; }) < count)
    return invalid_tables();
  if (offsets)
    spread(*offsets, [](OutputSample& s, std::uint32_t offset) { s.composition_offset = static_cast<std::int32_t>(offset); });
  if (syncs) {
    for (std::uint32_t e = 0; e < syncs->count; ++e) {
      const std::uint32_t number = syncs->u32(e);
      if (number == 0 || number > count) return invalid_tables();
      samples[number - 1].sync = true;
    }
  }
  return {};
}

}  // namespace

Status collect_table_samples(const MediaInput& file, const FileLayout& layout, const Movie& movie,
                             std::vector<TrackRecord>& tracks) {
  for (TrackRecord& track : tracks) {
    PLEXO_CHECK(read_table_samples(movie.tracks[track.track].tables, file.bytes, layout.media, track.samples));
    track.from_sample_tables = !track.samples.samples.empty();
  }
  return {};
}

void FragmentClock::follow(std::optional<std::uint64_t> decode_time, std::uint32_t* last_duration) {
  if (!decode_time) return;
  if (!first_decode_time) {
    // Samples placed before any decode time leave the track's timeline to its durations.
    if (last_duration) return;
    first_decode_time = decode_time;
    next_decode_time = *decode_time;
    return;
  }
  if (!last_duration) {
    next_decode_time = *decode_time;
    return;
  }
  std::uint32_t& last = *last_duration;
  if (*decode_time > next_decode_time) {
    const std::uint64_t stretched = last + (*decode_time - next_decode_time);
    const std::uint32_t duration = fits_u32(stretched) ? static_cast<std::uint32_t>(stretched) : 0xFFFFFFFFu;
    next_decode_time += duration - last;
    last = duration;
  } else if (*decode_time < next_decode_time) {
    const std::uint64_t shrink = std::min<std::uint64_t>(next_decode_time - *decode_time, last);
    last -= static_cast<std::uint32_t>(shrink);
    next_decode_time -= shrink;
  }
}

Result<FileLayout> scan_file(const MediaInput& file) {
  FileLayout layout;
  layout.boxes = PLEXO_TRY(file.top_level());
  for (std::size_t i = 0; i < layout.boxes.size(); ++i) {
    const FourCC type = layout.boxes[i].type;
    layout.media.add(layout.boxes[i]);
    if (type == FourCC("moov") && !layout.moov) layout.moov = i;
    else if (type == FourCC("moof")) layout.has_moof = true;
  }
  return layout;
}

std::vector<TrackRecord> read_tracks(const Movie& movie) {
  std::vector<TrackRecord> tracks;
  tracks.reserve(movie.tracks.size());
  for (std::size_t i = 0; i < movie.tracks.size(); ++i) {
    const MovieTrack& t = movie.tracks[i];
    TrackRecord track;
    track.track = i;
    track.track_id = t.track_id.value_or(0);
    track.has_track_header = t.track_id.has_value();
    track.timescale = t.timescale.value_or(1000);
    track.stsd = t.sample_description();
    tracks.push_back(std::move(track));
  }
  return tracks;
}

namespace {

// Reads every movie fragment among `layout`'s boxes into `visitor`, each loaded only while it
// is read.
template <class Visitor>
Status read_fragments(const MediaInput& file, const FileLayout& layout,
                      const TrackExtendsTable& trex, Visitor& visitor) {
  FragmentRunReader reader(file.bytes, trex, RunStrictness::kLenient, &layout.media);
  for (const Box& box : layout.boxes) {
    if (box.type != FourCC("moof")) continue;
    PLEXO_CHECK(file.load(box));
    auto read = reader.read(box, visitor);
    file.release(box);
    PLEXO_CHECK(read);
  }
  return {};
}

}  // namespace

Status collect_fragments(const MediaInput& file, const FileLayout& layout,
                         const TrackExtendsTable& trex, std::vector<TrackRecord>& tracks) {
  FragmentCollector collector(file.bytes, tracks);
  return read_fragments(file, layout, trex, collector);
}

Result<std::vector<FragmentCounts>> count_fragments(const MediaInput& file, const FileLayout& layout,
                                                    const TrackExtendsTable& trex,
                                                    const std::vector<std::uint32_t>& track_ids) {
  FragmentCounter counter(track_ids);
  PLEXO_CHECK(read_fragments(file, layout, trex, counter));
  return counter.take();
}

}  // namespace plexo::mp4
