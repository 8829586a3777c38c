#include "core/messages.hpp"
#include "mp4_parser/fragment_runs.hpp"
#include "thumbnail/key_frame.hpp"

namespace plexo::thumbnail {
namespace {

// Stops at the wanted track's first sync sample.
struct KeyFrameSearch {
  std::uint32_t track_id;
  std::optional<SampleSpan> found;

  bool track_fragment(const mp4::TrackFragmentInfo& info) { return info.track_id == track_id; }
  mp4::SampleAction sample(const mp4::FragmentSample& s) {
    if (s.sync()) {
      found = SampleSpan{s.offset, s.size};
      return mp4::SampleAction::kStop;
    }
    // Without per-sample fields every later sample of the run is like this one.
    return s.uniform_rest ? mp4::SampleAction::kSkipRun : mp4::SampleAction::kNext;
  }
};

}  // namespace

Result<std::optional<SampleSpan>> first_fragment_key_frame(ByteView input,
                                                          const mp4::TrackExtendsTable& trex,
                                                          std::uint32_t track_id) {
  // The mdat payloads first: a run may point into an mdat before or after its moof.
  mp4::MediaDataIndex media;
  for (mp4::BoxCursor top(input, mp4::kLocatorBoxes);;) {
    auto box = top.next();
    if (!box || !*box) break;
    media.add(**box);
  }
  mp4::FragmentRunReader reader(input, trex, mp4::RunStrictness::kStrict, &media);
  KeyFrameSearch search{track_id, std::nullopt};
  bool has_fragments = false;
  mp4::BoxCursor boxes(input, mp4::kLocatorBoxes);
  while (!search.found) {
    auto box = PLEXO_TRY(boxes.next());
    if (!box) break;
    if (box->type != FourCC("moof")) continue;
    has_fragments = true;
    PLEXO_TRY(reader.read(*box, search));
  }
  if (search.found) return search.found;
  if (has_fragments) return fail(msg::kNoKeyFrame);
  return std::optional<SampleSpan>{};
}

}  // namespace plexo::thumbnail
