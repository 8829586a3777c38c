// A fragmented MP4 flattened into ftyp, moov with complete sample tables, and one mdat that
// holds every track's samples, track after track.
#include "core/messages.hpp"
#include "mp4_parser/fragmented_file.hpp"
#include "mp4_parser/movie_rebuild.hpp"
#include "mp4_parser/operations.hpp"

namespace plexo::mp4 {

Result<std::unique_ptr<PlannedOutput>> plan_defragment(const MediaInput& input) {
  const FileLayout layout = PLEXO_TRY(scan_file(input));
  if (!layout.has_moof) return fail(msg::kNotFragmented);
  const Box* moov = layout.moov_box();
  if (!moov) return fail(msg::kMoovNotFound);

  const Movie movie = PLEXO_TRY(Movie::read(*moov));
  std::vector<TrackRecord> tracks = read_tracks(movie);
  // A trak without a track header is no track: its samples could not be described.
  std::erase_if(tracks, [](const TrackRecord& t) { return !t.has_track_header; });
  if (tracks.empty()) return fail(msg::kMoovWithoutTrak);
  PLEXO_CHECK(collect_fragments(input, layout, movie.trex, tracks));
  bool any_sample = false;
  for (const TrackRecord& t : tracks) any_sample |= !t.samples.samples.empty();
  if (!any_sample) return fail(msg::kNoSamples);

  MovieModel model = PLEXO_TRY(rebuild_movie(movie, tracks, progressive_file_type()));
  MoviePlan plan = PLEXO_TRY(MoviePlan::lay_out(std::move(model)));
  return std::unique_ptr<PlannedOutput>(new PlannedMovie<int>(0, std::move(plan)));
}

Result<Buffer> defragment(ByteView input) {
  auto planned = PLEXO_TRY(plan_defragment(input));
  return write_planned(*planned);
}

}  // namespace plexo::mp4
