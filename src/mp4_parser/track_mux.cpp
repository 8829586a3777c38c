// The tracks of a video fragmented file and an audio fragmented file in one progressive file:
// ftyp, the video input's movie box holding the video tracks then the audio tracks, and one
// mdat with every track's samples, track after track. Track IDs are kept as the inputs give
// them, so two tracks with one ID are refused; on request an audio track whose ID a video
// track holds is renumbered instead (the renditions of HLS and DASH all carry track ID 1).
#include "mp4_parser/track_mux.hpp"

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "core/messages.hpp"
#include "mp4_parser/movie_rebuild.hpp"
#include "mp4_parser/operations.hpp"

namespace plexo::mp4 {
namespace {

using OwnedTraks = std::vector<std::unique_ptr<Buffer>>;
using TrackIds = std::unordered_map<std::uint32_t, std::uint32_t>;

// For each audio track whose ID a video track holds, the lowest ID that no track of either
// input holds. None when the audio input repeats an ID itself: the duplicate check reports it.
TrackIds colliding_ids(const std::vector<TrackRecord>& video,
                       const std::vector<TrackRecord>& audio) {
  std::unordered_set<std::uint32_t> video_ids, audio_ids;
  for (const TrackRecord& t : video) video_ids.insert(t.track_id);
  for (const TrackRecord& t : audio)
    if (!audio_ids.insert(t.track_id).second) return {};
  std::unordered_set<std::uint32_t> taken = video_ids;
  taken.insert(audio_ids.begin(), audio_ids.end());
  TrackIds ids;
  std::uint32_t next = 1;
  for (const TrackRecord& t : audio) {
    if (!video_ids.contains(t.track_id)) continue;
    while (taken.contains(next)) ++next;  // fewer IDs are taken than there are values
    taken.insert(next);
    ids.emplace(t.track_id, next);
  }
  return ids;
}

std::uint32_t renumbered(const TrackIds& ids, std::uint32_t id) {
  auto found = ids.find(id);
  return found == ids.end() ? id : found->second;
}

// Rewrites the track IDs of one trak copy in place (fields keep their width): its tkhd's
// track_ID and the IDs its track references name.
void renumber_trak(Buffer& trak, const TrackIds& ids) {
  auto patch = [&](std::uint64_t at) {
    if (const auto id = load_u32(trak.view(), at))
      trak.patch_u32(static_cast<std::size_t>(at), renumbered(ids, *id));
  };
  auto children = list_boxes(trak.view(), kChildBoxes);
  if (!children) return;
  if (const Box* tkhd = find_box(*children, "tkhd"); tkhd && read_track_id(tkhd->payload))
    patch(tkhd->payload_offset() + (tkhd->payload[0] == 1 ? 20 : 12));
  if (const Box* tref = find_box(*children, "tref")) {
    BoxCursor references = BoxCursor::children(*tref);
    while (auto reference = references.next()) {
      if (!*reference) break;
      for (std::size_t at = 0; at + 4 <= (*reference)->payload.size(); at += 4)
        patch((*reference)->payload_offset() + at);
    }
  }
}

// Gives the audio input's records and traks their new IDs; the traks become patched copies
// kept in `owned`. Done after the fragments are read, which name the tracks by their old IDs.
Status renumber(MuxInput& sound, const TrackIds& ids, OwnedTraks& owned) {
  if (ids.empty()) return {};
  for (TrackRecord& t : sound.tracks) t.track_id = renumbered(ids, t.track_id);
  for (MovieTrack& trak : sound.traks) {
    auto copy = std::make_unique<Buffer>();
    copy->put(trak.trak.payload);
    renumber_trak(*copy, ids);
    Box patched = trak.trak;
    patched.payload = copy->view();
    trak = PLEXO_TRY(MovieTrack::read(patched));
    owned.push_back(std::move(copy));
  }
  return {};
}

// The planned file; a layout that the writing does not match is reported in the operation's
// own terms.
class MuxOutput final : public PlannedOutput {
 public:
  MuxOutput(MoviePlan plan, OwnedTraks owned) : plan_(std::move(plan)), owned_(std::move(owned)) {}
  std::uint64_t size() const override { return plan_.size(); }
  Status write(std::span<std::uint8_t> out) override {
    Status written = plan_.write(out);
    if (!written && out.size() == plan_.size()) return fail(msg::kMovieLengthChanged);
    return written;
  }
  Status write(FileWriter& out) override {
    Status written = plan_.write(out);
    if (!written && out.status() && out.position() == plan_.size()) return fail(msg::kMovieLengthChanged);
    return written;
  }

 private:
  MoviePlan plan_;
  OwnedTraks owned_;  // renumbered trak copies the plan views
};

}  // namespace

Result<MuxInput> read_mux_tracks(const MediaInput& input) {
  FileLayout layout = PLEXO_TRY(scan_file(input));
  const Box* moov = layout.moov_box();
  if (!moov) return fail(msg::kMoovNotFound);

  Movie movie = PLEXO_TRY(Movie::read(*moov));
  std::vector<TrackRecord> tracks = read_tracks(movie);
  std::vector<MovieTrack> traks;
  // Every track is placed: one without a track header has no ID to place it by.
  for (TrackRecord& track : tracks) {
    if (!track.has_track_header) return fail(msg::no_trak_for_track(track.track_id));
    traks.push_back(movie.tracks[track.track]);
    track.edit_timescale = movie_timescale(movie);
  }
  return MuxInput{input, std::move(layout), std::move(movie), std::move(tracks), std::move(traks)};
}

Status collect_mux_samples(MuxInput& in) {
  // A progressive input's samples are in its tables, a fragmented one's in its fragments.
  PLEXO_CHECK(collect_table_samples(in.file, in.layout, in.movie, in.tracks));
  for (std::size_t i = 0; i < in.tracks.size(); ++i) {
    TrackRecord& track = in.tracks[i];
    const auto edits = in.traks[i].edit_list();
    if (!track.from_sample_tables || !edits || edits->entries.empty()) continue;
    std::uint64_t presented = 0;
    for (const EditEntry& e : edits->entries) {
      if (e.segment_duration == 0) {  // to the media's end: the media's length then
        presented = 0;
        break;
      }
      presented = saturating_add(presented, e.segment_duration);
    }
    track.edited_duration = presented;
  }
  return collect_fragments(in.file, in.layout, in.movie.trex, in.tracks);
}

Result<MovieModel> build_mux_moov(const Movie& movie, std::vector<TrackRecord>& tracks,
                                  const std::vector<MovieTrack>& traks) {
  const std::uint32_t timescale = movie_timescale(movie);
  // Inputs delivered apart keep the distance between their starts.
  const std::vector<std::uint64_t> delays = start_delays(tracks, timescale);
  const std::uint64_t duration = movie_duration(tracks, delays, timescale);
  std::uint32_t largest_id = 0;
  for (const TrackRecord& t : tracks) largest_id = std::max(largest_id, t.track_id);
  const std::uint32_t next_track_id = tracks.empty() ? 1 : largest_id + 1;

  MovieModel model;
  model.file_type = progressive_file_type();
  bool placed = false;
  BoxCursor children = BoxCursor::children(movie.moov);
  while (auto child = PLEXO_TRY(children.next())) {
    if (child->type == FourCC("mvex")) continue;  // the output has no fragments
    if (child->type == FourCC("mvhd")) {
      model.moov.add(rewrite_mvhd(*child, duration, next_track_id));
    } else if (child->type == FourCC("trak")) {
      // The joined tracks stand where the template's first trak stood.
      if (placed) continue;
      placed = true;
      for (std::size_t j = 0; j < tracks.size(); ++j) {
        const TrakPlacement placement{j, timescale, delays[j]};
        model.moov.add(PLEXO_TRY(rebuild_trak(traks[j], tracks[j], placement)));
      }
    } else if (belongs_in_movie(child->type)) {
      keep_box(model.moov, *child, 2);
    }
  }
  if (!placed) return fail(msg::kNoTemplateTrak);
  move_samples_into(model, tracks);
  return model;
}

Result<std::unique_ptr<PlannedOutput>> plan_mux_tracks(const MediaInput& video, const MediaInput& audio,
                                                       CollidingTrackIds colliding) {
  // The video input's movie is read, and its errors reported, before the audio input is
  // looked at; both movies are checked before any fragment is read.
  MuxInput joined = PLEXO_TRY(read_mux_tracks(video));
  MuxInput sound = PLEXO_TRY(read_mux_tracks(audio));
  if (joined.tracks.empty() && sound.tracks.empty()) return fail(msg::kNoTracksToJoin);
  const TrackIds ids = colliding == CollidingTrackIds::kRenumbered
                           ? colliding_ids(joined.tracks, sound.tracks)
                           : TrackIds{};
  std::unordered_set<std::uint32_t> seen;
  for (const TrackRecord& t : joined.tracks)
    if (!seen.insert(t.track_id).second) return fail(msg::duplicate_track_id(t.track_id));
  for (const TrackRecord& t : sound.tracks)
    if (!seen.insert(renumbered(ids, t.track_id)).second)
      return fail(msg::duplicate_track_id(t.track_id));

  PLEXO_CHECK(collect_mux_samples(joined));
  PLEXO_CHECK(collect_mux_samples(sound));
  // A track without samples would play as nothing: the input that gives one is refused.
  for (const MuxInput* in : {&joined, &sound})
    for (const TrackRecord& t : in->tracks)
      if (t.samples.samples.empty()) return fail(msg::mux_track_without_samples(in == &joined, t.track_id));
  OwnedTraks owned;
  PLEXO_CHECK(renumber(sound, ids, owned));
  // The audio input's movie-level boxes are not used; its tracks keep their own traks.
  std::move(sound.tracks.begin(), sound.tracks.end(), std::back_inserter(joined.tracks));
  joined.traks.insert(joined.traks.end(), sound.traks.begin(), sound.traks.end());

  MovieModel model = PLEXO_TRY(build_mux_moov(joined.movie, joined.tracks, joined.traks));
  MoviePlan plan = PLEXO_TRY(MoviePlan::lay_out(std::move(model)));
  return std::unique_ptr<PlannedOutput>(new MuxOutput(std::move(plan), std::move(owned)));
}

Result<Buffer> mux_tracks(ByteView video, ByteView audio, CollidingTrackIds colliding) {
  auto planned = PLEXO_TRY(plan_mux_tracks(video, audio, colliding));
  return write_planned(*planned);
}

}  // namespace plexo::mp4
