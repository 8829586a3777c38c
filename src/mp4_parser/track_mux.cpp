// The tracks of a video fragmented file and an audio fragmented file in one progressive file:
// ftyp, the video input's movie box holding the video tracks then the audio tracks, and one
// mdat with every track's samples, track after track. Track IDs are kept as the inputs give
// them, so two tracks with one ID are refused rather than renumbered.
#include "mp4_parser/track_mux.hpp"

#include <algorithm>
#include <iterator>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "core/messages.hpp"
#include "mp4_parser/movie_rebuild.hpp"
#include "mp4_parser/operations.hpp"

namespace plexo::mp4 {
namespace {

// The planned file; a layout that the writing does not match is reported in the operation's
// own terms.
class MuxOutput final : public PlannedOutput {
 public:
  explicit MuxOutput(MoviePlan plan) : plan_(std::move(plan)) {}
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
};

}  // namespace

Result<MuxInput> read_mux_tracks(const MediaInput& input) {
  FileLayout layout = PLEXO_TRY(scan_file(input));
  const Box* moov = layout.moov_box();
  if (!moov) return fail(msg::kMoovNotFound);

  Movie movie = PLEXO_TRY(Movie::read(*moov));
  std::vector<TrackRecord> tracks = read_tracks(movie);
  // Every track is placed: one without a track header has no ID to place it by.
  for (const TrackRecord& track : tracks)
    if (!track.has_track_header) return fail(msg::no_trak_for_track(track.track_id));
  return MuxInput{input, std::move(layout), std::move(movie), std::move(tracks)};
}

Status collect_mux_samples(MuxInput& in) {
  return collect_fragments(in.file, in.layout, in.movie.trex, in.tracks);
}

Result<MovieModel> build_mux_moov(const Movie& movie, std::vector<TrackRecord>& tracks,
                                  const std::vector<const MovieTrack*>& traks) {
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
        model.moov.add(PLEXO_TRY(rebuild_trak(*traks[j], tracks[j], placement)));
      }
    } else if (belongs_in_movie(child->type)) {
      keep_box(model.moov, *child, 2);
    }
  }
  if (!placed) return fail(msg::kNoTemplateTrak);
  move_samples_into(model, tracks);
  return model;
}

Result<std::unique_ptr<PlannedOutput>> plan_mux_tracks(const MediaInput& video, const MediaInput& audio) {
  // The video input's movie is read, and its errors reported, before the audio input is
  // looked at; both movies are checked before any fragment is read.
  MuxInput joined = PLEXO_TRY(read_mux_tracks(video));
  MuxInput sound = PLEXO_TRY(read_mux_tracks(audio));
  if (joined.tracks.empty() && sound.tracks.empty()) return fail(msg::kNoTracksToJoin);
  std::unordered_set<std::uint32_t> seen;
  for (const auto* in : {&joined, &sound})
    for (const TrackRecord& t : in->tracks)
      if (!seen.insert(t.track_id).second)
        return fail(msg::duplicate_track_id(t.track_id));

  PLEXO_CHECK(collect_mux_samples(joined));
  PLEXO_CHECK(collect_mux_samples(sound));
  // The audio input's movie-level boxes are not used; its tracks keep their own traks.
  std::vector<const MovieTrack*> traks;
  for (const auto* in : {&joined, &sound})
    for (const TrackRecord& t : in->tracks) traks.push_back(&in->movie.tracks[t.track]);
  std::move(sound.tracks.begin(), sound.tracks.end(), std::back_inserter(joined.tracks));

  MovieModel model = PLEXO_TRY(build_mux_moov(joined.movie, joined.tracks, traks));
  MoviePlan plan = PLEXO_TRY(MoviePlan::lay_out(std::move(model)));
  return std::unique_ptr<PlannedOutput>(new MuxOutput(std::move(plan)));
}

Result<Buffer> mux_tracks(ByteView video, ByteView audio) {
  auto planned = PLEXO_TRY(plan_mux_tracks(video, audio));
  return write_planned(*planned);
}

}  // namespace plexo::mp4
