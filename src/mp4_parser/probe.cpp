#include "mp4_parser/probe.hpp"

#include <algorithm>
#include <array>

#include "codecs/video_codec.hpp"
#include "core/messages.hpp"
#include "core/time.hpp"
#include "mp4_parser/boxes.hpp"
#include "mp4_parser/fragmented_file.hpp"
#include "mp4_parser/media_input.hpp"
#include "mp4_parser/movie.hpp"

namespace plexo::mp4 {
namespace {

double seconds(std::uint64_t ticks, std::uint32_t timescale) {
  return timescale == 0 ? 0.0 : static_cast<double>(ticks) / timescale;
}

// What the first sample entry says: its type, and the picture size of a visual entry or the
// channel count and rate of an audio entry.
void read_sample_entry(const MovieTrack& movie_track, ProbedTrack& track) {
  if (!movie_track.sample_entry) return;
  track.codec = type_name(movie_track.sample_entry->type);
  if (track.kind == TrackKind::kVideo) {
    auto entry = movie_track.visual_entry(kLocatorBoxes);
    if (!entry) return;
    if (entry->width && entry->height) {
      track.width = entry->width;
      track.height = entry->height;
    }
    if (auto codec = codec_of_sample_entry(entry->format))
      if (auto box = entry->find(configuration_box(*codec)))
        if (auto config = read_decoder_configuration(*codec, *box))
          track.profile = profile_name(*codec, *config);
  } else if (track.kind == TrackKind::kAudio) {
    if (auto entry = movie_track.audio_entry()) {
      track.channels = entry->channel_count;
      track.sample_rate = entry->rate();
    }
  }
}

// Samples, key frames and total duration of a track's sample tables.
Result<SampleSummary> count_tables(const SampleTableBoxes& tables) {
  SampleSummary counts;
  std::optional<std::uint64_t> sized;
  std::optional<std::uint32_t> sync_count;
  std::uint64_t timed = 0;
  if (tables.stts) {
    auto stts = read_table(tables.stts->payload, kTimeToSample);
    if (!stts) return fail(msg::kInvalidSampleTable);
    for (std::uint32_t i = 0; i < stts->count; ++i) {
      const std::uint64_t n = stts->u32(i, 0), delta = stts->u32(i, 1);
      timed = saturating_add(timed, n);
      counts.duration = saturating_add(counts.duration, n * delta);
    }
  }
  if (tables.stsz) {
    auto stsz = SampleSizes::read(tables.stsz->payload);
    if (!stsz) return fail(msg::kInvalidSampleTable);
    sized = stsz->sample_count;
  }
  if (tables.stss) {
    auto stss = read_table(tables.stss->payload, kSyncSamples);
    if (!stss) return fail(msg::kInvalidSampleTable);
    sync_count = stss->count;
  }
  counts.samples = sized.value_or(timed);
  counts.key_frames = sync_count ? std::min<std::uint64_t>(*sync_count, counts.samples) : counts.samples;
  return counts;
}

// `summary`: the track's samples, instead of those its tables list.
Result<ProbedTrack> read_track(const MovieTrack& movie_track, const SampleSummary* summary,
                               std::uint64_t& table_duration) {
  ProbedTrack track;
  track.id = movie_track.track_id.value_or(0);
  if (movie_track.is_video()) track.kind = TrackKind::kVideo;
  else if (movie_track.is_audio()) track.kind = TrackKind::kAudio;
  if (track.kind == TrackKind::kVideo && movie_track.width && *movie_track.width >> 16 &&
      *movie_track.height >> 16) {
    track.width = *movie_track.width >> 16;
    track.height = *movie_track.height >> 16;
  }
  track.timescale = movie_track.timescale.value_or(0);
  if (movie_track.mdhd)
    if (auto mdhd = MediaHeader::read(movie_track.mdhd->payload)) {
      const auto code = unpack_language(mdhd->language);
      track.language = std::string(code.begin(), code.end());
    }
  const std::uint64_t header_duration = movie_track.media_duration;
  if (!movie_track.stbl) {
    table_duration = header_duration;
    return track;
  }
  read_sample_entry(movie_track, track);
  const SampleSummary counts = summary ? *summary : PLEXO_TRY(count_tables(movie_track.tables));
  track.samples = counts.samples;
  track.key_frames = counts.key_frames;
  table_duration = counts.samples ? counts.duration : header_duration;
  return track;
}

// `file` in memory, or staged from a file (its top level scanned, its movie box held); the
// latter was checked to open with a box by the caller.
Result<ProbedFile> probe(const MediaInput& file,
                         std::optional<std::span<const SampleSummary>> summaries) {
  if (!file.top && !opens_with_box(file.bytes)) return fail(msg::kNotMedia);
  const FileLayout layout = PLEXO_TRY(scan_file(file));
  const Box* moov = layout.moov_box();
  if (!moov) return fail(msg::kMoovNotFound);

  const Movie movie = PLEXO_TRY(Movie::read(*moov));
  ProbedFile probed;
  std::vector<std::uint64_t> durations;  // media timescale, per track
  std::vector<std::uint32_t> track_ids;
  for (std::size_t i = 0; i < movie.tracks.size(); ++i) {
    const MovieTrack& movie_track = movie.tracks[i];
    const SampleSummary* summary = summaries && i < summaries->size() ? &(*summaries)[i] : nullptr;
    std::uint64_t duration = 0;
    probed.tracks.push_back(PLEXO_TRY(read_track(movie_track, summary, duration)));
    durations.push_back(duration);
    track_ids.push_back(movie_track.track_id.value_or(0));
  }

  if (layout.has_moof) {
    // The fragments' samples follow those of the tables.
    const std::vector<FragmentCounts> counts =
        PLEXO_TRY(count_fragments(file, layout, movie.trex, track_ids));
    for (std::size_t i = 0; i < counts.size(); ++i) {
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

}  // namespace

Result<ProbedFile> probe_mp4(ByteView file) { return probe(MediaInput(file), std::nullopt); }

Result<ProbedFile> probe_mp4(const MediaInput& staged) { return probe(staged, std::nullopt); }

Result<ProbedFile> probe_summarised_movie(ByteView movie, std::span<const SampleSummary> summaries) {
  return probe(MediaInput(movie), summaries);
}

}  // namespace plexo::mp4
