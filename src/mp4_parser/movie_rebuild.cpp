#include "mp4_parser/movie_rebuild.hpp"

#include <algorithm>
#include <unordered_map>

namespace plexo::mp4 {
namespace {

// A fragmented file's movie box does not know its tracks' durations: ffmpeg writes an edit of
// duration 0 ("to the end of the media"), which in a progressive file would show nothing.
bool open_ended(const std::vector<EditEntry>& edits) {
  return std::any_of(edits.begin(), edits.end(), [](const EditEntry& e) {
    return e.segment_duration == 0 && e.media_time >= 0;
  });
}

// Each edit of duration 0 lasts from its media time to the end of the last sample shown.
void close_edits(std::vector<EditEntry>& edits, const TrackRecord& track,
                 std::uint32_t movie_timescale) {
  if (!open_ended(edits)) return;
  __int128 decode = 0, end = 0;  // media timescale
  for (const OutputSample& s : track.samples.samples) {
    end = std::max(end, decode + s.composition_offset + s.duration);
    decode += s.duration;
  }
  for (EditEntry& e : edits) {
    if (e.segment_duration != 0 || e.media_time < 0) continue;
    const __int128 shown = end - e.media_time;
    e.segment_duration =
        shown > 0 ? rescale(saturate(static_cast<unsigned __int128>(shown)), track.timescale,
                            movie_timescale)
                  : 0;
  }
}

// What a track's own edits present (TrackRecord::edited_duration), in `timescale`.
std::uint64_t edited_length(const TrackRecord& track, std::uint32_t timescale) {
  return track.edit_timescale == 0 ? track.edited_duration
                                   : rescale(track.edited_duration, track.edit_timescale, timescale);
}

// An edit list that starts the track's media `delay` after the movie's start: an empty edit,
// then the track's own edits (without their leading empty ones), or its whole media when it
// had none. Without a delay, the track's own edits.
EditList delayed_edits(std::vector<EditEntry> own, std::uint64_t delay, std::uint64_t duration) {
  EditList list;
  if (delay == 0) {
    list.entries = std::move(own);
    return list;
  }
  list.entries.push_back({delay, -1, 1, 0});
  auto media = std::find_if(own.begin(), own.end(), [](const EditEntry& e) { return e.media_time != -1; });
  if (media == own.end()) list.entries.push_back({duration, 0, 1, 0});
  else list.entries.insert(list.entries.end(), media, own.end());
  return list;
}

Result<BoxNode> rebuild_mdia(const Box& mdia, const TrackRecord& track,
                             const TrakPlacement& placement) {
  BoxNode out = BoxNode::container("mdia");
  BoxCursor children = BoxCursor::children(mdia);
  while (auto child = PLEXO_TRY(children.next())) {
    if (child->type == FourCC("mdhd")) {
      auto header = MediaHeader::read(child->payload);
      if (!header) {
        out.add(BoxNode::viewed("mdhd", child->payload));
        continue;
      }
      header->creation_time = header->modification_time = 0;
      header->duration = track.samples.duration();
      out.add(BoxNode::typed(*header));
    } else if (child->type == FourCC("minf")) {
      BoxNode& minf = out.add(BoxNode::container("minf"));
      BoxCursor boxes = BoxCursor::children(*child);
      while (auto box = PLEXO_TRY(boxes.next())) {
        if (box->type == FourCC("stbl")) minf.add(BoxNode::sample_table(placement.model_track));
        else keep_box(minf, *box, 5);
      }
    } else {
      keep_box(out, *child, 4);
    }
  }
  return out;
}

}  // namespace

std::vector<std::uint64_t> start_delays(const std::vector<TrackRecord>& tracks,
                                        std::uint32_t timescale) {
  std::vector<std::uint64_t> delays(tracks.size(), 0);
  // The earliest start, compared exactly as time = decode_time / track timescale.
  const TrackRecord* earliest = nullptr;
  for (const TrackRecord& t : tracks) {
    if (!t.clock.first_decode_time || t.timescale == 0 || t.samples.samples.empty()) continue;
    if (!earliest || static_cast<unsigned __int128>(*t.clock.first_decode_time) * earliest->timescale <
                         static_cast<unsigned __int128>(*earliest->clock.first_decode_time) * t.timescale)
      earliest = &t;
  }
  if (!earliest) return delays;
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const TrackRecord& t = tracks[i];
    if (&t == earliest || !t.clock.first_decode_time || t.timescale == 0 || t.samples.samples.empty()) continue;
    // (t0 / ts - e0 / es) in movie units, over a common denominator.
    const auto later = static_cast<unsigned __int128>(*t.clock.first_decode_time) * earliest->timescale;
    const auto first = static_cast<unsigned __int128>(*earliest->clock.first_decode_time) * t.timescale;
    if (later <= first) continue;
    const auto denominator = static_cast<unsigned __int128>(t.timescale) * earliest->timescale;
    delays[i] = saturate((later - first) / denominator * timescale +
                         (later - first) % denominator * timescale / denominator);
  }
  return delays;
}

BoxNode rewrite_mvhd(const Box& mvhd, std::uint64_t duration,
                     std::optional<std::uint32_t> next_track_id) {
  auto header = MovieHeader::read(mvhd.payload);
  if (!header) return BoxNode::viewed("mvhd", mvhd.payload);
  header->creation_time = header->modification_time = 0;
  header->duration = duration;
  if (next_track_id) header->next_track_id = *next_track_id;
  return BoxNode::typed(*header);
}

Result<BoxNode> rebuild_trak(const MovieTrack& trak, const TrackRecord& track,
                             const TrakPlacement& placement) {
  // The track header counts in the movie timescale and covers any leading empty edit.
  const std::uint64_t media_in_movie =
      rescale(track.samples.duration(), track.timescale, placement.movie_timescale);
  std::uint64_t track_duration = media_in_movie + placement.start_delay;

  std::vector<EditEntry> own;
  if (auto list = trak.edit_list()) own = std::move(list->entries);
  // Edits counted in another movie's timescale are counted anew in the output's.
  const bool rescaled = !own.empty() && track.edit_timescale != 0 &&
                        track.edit_timescale != placement.movie_timescale;
  if (rescaled)
    for (EditEntry& e : own)
      e.segment_duration = rescale(e.segment_duration, track.edit_timescale, placement.movie_timescale);
  const bool rewrite_edits = placement.start_delay != 0 || open_ended(own) || rescaled;
  // A track keeping the edits of its progressive source lasts as long as they present.
  if (track.edited_duration != 0 && placement.start_delay == 0)
    track_duration = edited_length(track, placement.movie_timescale);
  close_edits(own, track, placement.movie_timescale);
  BoxNode out = BoxNode::container("trak");
  bool edits_written = false;
  auto write_edits = [&] {
    if (edits_written || !rewrite_edits) return;
    const EditList edits = delayed_edits(own, placement.start_delay, media_in_movie);
    Buffer edts;
    edits.write_edts(edts);
    out.add(BoxNode::encoded(std::move(edts)));
    edits_written = true;
  };

  // The template's boxes in their order.
  BoxCursor children = BoxCursor::children(trak.trak);
  while (auto child = PLEXO_TRY(children.next())) {
    if (child->type == FourCC("tkhd")) {
      if (auto header = TrackHeader::read(child->payload)) {
        header->creation_time = header->modification_time = 0;
        header->duration = track_duration;
        out.add(BoxNode::typed(*header));
      } else {
        out.add(BoxNode::viewed("tkhd", child->payload));
      }
      write_edits();
    } else if (child->type == FourCC("edts") && rewrite_edits) {
      write_edits();
    } else if (child->type == FourCC("mdia")) {
      write_edits();
      out.add(PLEXO_TRY(rebuild_mdia(*child, track, placement)));
    } else {
      keep_box(out, *child, 3);
    }
  }
  return out;
}

Result<MovieModel> rebuild_movie(const Movie& movie, std::vector<TrackRecord>& tracks,
                                 FileType file_type) {
  const std::uint32_t timescale = movie_timescale(movie);
  const std::vector<std::uint64_t> delays = start_delays(tracks, timescale);

  const std::uint64_t duration = movie_duration(tracks, delays, timescale);

  std::unordered_map<std::uint32_t, std::size_t> index;  // the first record with each ID
  for (std::size_t i = 0; i < tracks.size(); ++i)
    if (tracks[i].has_track_header) index.emplace(tracks[i].track_id, i);

  MovieModel model;
  model.file_type = std::move(file_type);
  std::size_t next_trak = 0;
  // The template's boxes in their order; its traks are the movie's tracks, in order.
  BoxCursor children = BoxCursor::children(movie.moov);
  while (auto child = PLEXO_TRY(children.next())) {
    if (child->type == FourCC("mvhd")) {
      model.moov.add(rewrite_mvhd(*child, duration));
    } else if (child->type == FourCC("trak")) {
      if (next_trak >= movie.tracks.size()) break;  // the movie was read from these bytes
      const MovieTrack& trak = movie.tracks[next_trak++];
      // A trak without a track header describes no track a reader could play.
      if (!trak.track_id) continue;
      auto found = index.find(*trak.track_id);
      if (found == index.end()) {
        keep_box(model.moov, trak.trak, 2);
        continue;
      }
      const std::size_t j = found->second;
      TrakPlacement placement{j, timescale, delays[j]};
      model.moov.add(PLEXO_TRY(rebuild_trak(trak, tracks[j], placement)));
    } else if (belongs_in_movie(child->type)) {
      keep_box(model.moov, *child, 2);
    }
  }
  // The sample tables refer to model tracks by record index.
  move_samples_into(model, tracks);
  return model;
}

std::uint64_t movie_duration(const std::vector<TrackRecord>& tracks,
                             const std::vector<std::uint64_t>& delays, std::uint32_t timescale) {
  std::uint64_t duration = 0;
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const std::uint64_t d = tracks[i].edited_duration != 0
                                ? edited_length(tracks[i], timescale)
                                : rescale(tracks[i].samples.duration(), tracks[i].timescale, timescale);
    duration = std::max(duration, d + (i < delays.size() ? delays[i] : 0));
  }
  return duration;
}

void move_samples_into(MovieModel& model, std::vector<TrackRecord>& tracks) {
  // Each sample is a chunk of its own; a track with samples lists its sync samples; negative
  // composition offsets are raised, which keeps the times readers give the fragmented source.
  for (TrackRecord& t : tracks) {
    t.samples.chunks = ChunkLayout::kChunkPerSample;
    t.samples.sync_table = !t.samples.samples.empty();
    t.samples.sample_description = t.stsd;
    t.samples.negative_offsets = t.from_sample_tables ? TrackSamples::NegativeOffsets::kSigned
                                                      : TrackSamples::NegativeOffsets::kRaise;
    model.tracks.push_back(std::move(t.samples));
  }
}

bool belongs_in_movie(FourCC type) {
  static constexpr FourCC kTopLevelOnly[] = {FourCC("moof"), FourCC("mdat"), FourCC("mfra"),
                                              FourCC("moov"), FourCC("ftyp"), FourCC("styp"),
                                              FourCC("sidx"), FourCC("ssix"), FourCC("emsg"),
                                              FourCC("prft")};
  return std::find(std::begin(kTopLevelOnly), std::end(kTopLevelOnly), type) == std::end(kTopLevelOnly);
}

void keep_box(BoxNode& parent, const Box& box, std::size_t depth) {
  if (depth > kPlayableDepth) return;
  const std::size_t room = kPlayableDepth - depth;
  if (nesting_depth(box.payload, room + 1) <= room) parent.add(BoxNode::viewed(box.type, box.payload));
}

FileType progressive_file_type() { return {"isom", 0x200, {"isom", "iso2", "avc1", "mp41"}}; }

}  // namespace plexo::mp4
