#include "mp4_parser/probe.hpp"

#include <algorithm>
#include <array>

#include "codecs/video_codec.hpp"
#include "core/messages.hpp"
#include "core/time.hpp"
#include "mp4_parser/boxes.hpp"
#include "mp4_parser/fragmented_file.hpp"

namespace plexo::mp4 {
namespace {

double seconds(std::uint64_t ticks, std::uint32_t timescale) {
  return timescale == 0 ? 0.0 : static_cast<double>(ticks) / timescale;
}

// What the first sample entry says: its type, and the picture size of a visual entry or the
// channel count and rate of an audio entry (fields after the 8 bytes every entry opens with).
void read_sample_entry(ByteView stsd_payload, ProbedTrack& track) {
  if (stsd_payload.size() < 8) return;
  BoxCursor entries(stsd_payload.subspan(8));
  auto entry = entries.next();
  if (!entry || !*entry) return;
  const Box& e = **entry;
  track.codec = type_name(e.type);
  if (track.kind == TrackKind::kVideo) {
    auto width = load_u16(e.payload, 24), height = load_u16(e.payload, 26);
    if (width && height && *width && *height) {
      track.width = *width;
      track.height = *height;
    }
    if (auto codec = codec_of_sample_entry(e.type)) {
      constexpr std::size_t kVisualEntryFields = 78;
      auto box = find_child(e, configuration_box(*codec), kLocatorBoxes, kVisualEntryFields);
      if (box && *box)
        if (auto config = read_decoder_configuration(*codec, (*box)->payload))
          track.profile = profile_name(*codec, *config);
    }
  } else if (track.kind == TrackKind::kAudio) {
    auto channels = load_u16(e.payload, 16);
    auto rate = load_u32(e.payload, 24);  // 16.16
    if (channels && rate) {
      track.channels = *channels;
      track.sample_rate = *rate >> 16;
    }
  }
}

// Samples, key frames and total duration of a track's sample tables.
struct TableCounts {
  std::uint64_t samples = 0;
  std::uint64_t key_frames = 0;
  std::uint64_t duration = 0;  // media timescale
};

Result<TableCounts> count_tables(const Box& stbl) {
  TableCounts counts;
  std::optional<std::uint64_t> sized;
  std::optional<std::uint32_t> sync_count;
  std::uint64_t timed = 0;
  BoxCursor tables = BoxCursor::children(stbl);
  while (auto table = PLEXO_TRY(tables.next())) {
    if (table->type == kTimeToSample.type) {
      auto stts = read_table(table->payload, kTimeToSample);
      if (!stts) return fail(msg::kInvalidSampleTable);
      for (std::uint32_t i = 0; i < stts->count; ++i) {
        const std::uint64_t n = stts->u32(i, 0), delta = stts->u32(i, 1);
        timed = saturating_add(timed, n);
        counts.duration = saturating_add(counts.duration, n * delta);
      }
    } else if (table->type == kSampleSizes.type) {
      auto stsz = SampleSizes::read(table->payload);
      if (!stsz) return fail(msg::kInvalidSampleTable);
      sized = stsz->sample_count;
    } else if (table->type == kSyncSamples.type) {
      auto stss = read_table(table->payload, kSyncSamples);
      if (!stss) return fail(msg::kInvalidSampleTable);
      sync_count = stss->count;
    }
  }
  counts.samples = sized.value_or(timed);
  counts.key_frames = sync_count ? std::min<std::uint64_t>(*sync_count, counts.samples) : counts.samples;
  return counts;
}

Result<ProbedTrack> read_trak(const Box& trak, std::uint64_t& table_duration) {
  ProbedTrack track;
  table_duration = 0;
  if (auto tkhd = PLEXO_TRY(find_child(trak, "tkhd"))) {
    if (auto header = TrackHeader::read(tkhd->payload)) {
      track.id = header->track_id;
      if (header->width >> 16 && header->height >> 16) {
        track.width = header->width >> 16;
        track.height = header->height >> 16;
      }
    }
  }
  auto mdia = PLEXO_TRY(find_child(trak, "mdia"));
  if (!mdia) return track;
  std::uint64_t header_duration = 0;
  if (auto mdhd = PLEXO_TRY(find_child(*mdia, "mdhd"))) {
    if (auto header = MediaHeader::read(mdhd->payload)) {
      track.timescale = header->timescale;
      header_duration = header->duration;
    }
  }
  if (auto hdlr = PLEXO_TRY(find_child(*mdia, "hdlr"))) {
    if (auto handler = HandlerBox::read(hdlr->payload)) {
      if (handler->handler_type == FourCC("vide")) track.kind = TrackKind::kVideo;
      else if (handler->handler_type == FourCC("soun")) track.kind = TrackKind::kAudio;
    }
  }
  if (track.kind != TrackKind::kVideo) track.width = track.height = std::nullopt;
  auto stbl = PLEXO_TRY(find_path(*mdia, {"minf", "stbl"}));
  if (!stbl) {
    table_duration = header_duration;
    return track;
  }
  if (auto stsd = PLEXO_TRY(find_child(*stbl, "stsd"))) read_sample_entry(stsd->payload, track);
  const TableCounts counts = PLEXO_TRY(count_tables(*stbl));
  track.samples = counts.samples;
  track.key_frames = counts.key_frames;
  table_duration = counts.samples ? counts.duration : header_duration;
  return track;
}

}  // namespace

Result<ProbedFile> probe_mp4(ByteView file) {
  if (!opens_with_box(file)) return fail(msg::kNotMedia);
  const FileLayout layout = PLEXO_TRY(scan_file(file));
  const Box* moov = layout.moov_box();
  if (!moov) return fail(msg::kMoovNotFound);

  ProbedFile probed;
  std::vector<std::uint64_t> durations;  // media timescale, per track
  BoxCursor children = BoxCursor::children(*moov);
  while (auto child = PLEXO_TRY(children.next())) {
    if (child->type != FourCC("trak")) continue;
    std::uint64_t duration = 0;
    probed.tracks.push_back(PLEXO_TRY(read_trak(*child, duration)));
    durations.push_back(duration);
  }

  if (layout.has_moof) {
    // The fragments' samples follow those of the tables; read_tracks lists the same traks.
    std::vector<std::uint32_t> track_ids;
    for (const TrackRecord& record : PLEXO_TRY(read_tracks(*moov))) track_ids.push_back(record.track_id);
    const std::vector<FragmentCounts> counts =
        PLEXO_TRY(count_fragments(file, layout, *moov, track_ids));
    for (std::size_t i = 0; i < counts.size() && i < probed.tracks.size(); ++i) {
      ProbedTrack& track = probed.tracks[i];
      if (counts[i].samples == 0) continue;
      if (track.samples == 0) durations[i] = 0;  // the header's duration, not the samples'
      track.samples += counts[i].samples;
      track.key_frames += counts[i].sync_samples;
      durations[i] = saturating_add(durations[i], counts[i].duration);
    }
  }

  for (std::size_t i = 0; i < probed.tracks.size(); ++i) {
    ProbedTrack& track = probed.tracks[i];
    track.duration = seconds(durations[i], track.timescale);
    probed.duration = std::max(probed.duration, track.duration);
  }
  return probed;
}

}  // namespace plexo::mp4
