#include "thumbnail/annexb.hpp"
#include "thumbnail/box_search.hpp"
#include "thumbnail/key_frame.hpp"
#include "thumbnail/thumbnail.hpp"
#include "thumbnail/video_track.hpp"

namespace plexo::thumbnail {
namespace {

// The top-level moov, searched leniently: a file without one (or with a broken box before
// it) is left to the plain walk, which reports it.
std::optional<BoxSpan> find_moov(ByteView input) {
  std::size_t at = 0;
  while (auto box = box_at(input, at)) {
    if (FourCC::from(box->bytes.subspan(4, 4)) == FourCC("moov")) return box;
    at += box->bytes.size();
  }
  return std::nullopt;
}

void put_parameter_sets(Buffer& out, const std::optional<AvcConfig>& avc) {
  if (!avc) return;
  for (ByteView unit : avc->parameter_sets) put_nal_unit(out, unit);
}

Result<Buffer> picture(ByteView input, SampleSpan span, const std::optional<AvcConfig>& avc) {
  if (span.offset > input.size() || span.size > input.size() - span.offset)
    return fail("Sample size exceeds mdat bounds");
  const ByteView sample = input.subspan(static_cast<std::size_t>(span.offset),
                                        static_cast<std::size_t>(span.size));
  Buffer out;
  put_parameter_sets(out, avc);
  length_prefixed_to_annexb(sample, out, avc ? avc->length_size : 4);
  return out;
}

// The video track's first key frame, found through its sample tables or, when those are
// empty, through the movie fragments. Nothing when the file lacks what it takes.
Result<std::optional<Buffer>> located_key_frame(ByteView input) {
  auto moov = find_moov(input);
  if (!moov) return std::optional<Buffer>{};
  auto video = find_video_track(input, *moov);
  if (!video) return std::optional<Buffer>{};
  auto span = PLEXO_TRY(first_sync_sample(input, video->stbl));
  if (!span) span = PLEXO_TRY(first_fragment_key_frame(input, *moov, video->track_id));
  if (!span) return std::optional<Buffer>{};
  return std::optional<Buffer>{PLEXO_TRY(picture(input, *span, video->avc))};
}

// Without sample tables to go by: the first sample of the first track, taken to lie at the
// start of the mdat payload.
Result<Buffer> first_sample_at_mdat(ByteView input) {
  const std::size_t mdat = PLEXO_TRY(find_top_level_box(input, "mdat"));
  const std::size_t data = mdat + 8;
  if (data >= input.size()) return fail("Invalid mdat box");
  const std::size_t moov = PLEXO_TRY(find_top_level_box(input, "moov"));
  const std::size_t trak = PLEXO_TRY(find_child_box(input, moov, "trak"));
  const std::size_t mdia = PLEXO_TRY(find_child_box(input, trak, "mdia"));
  const std::size_t minf = PLEXO_TRY(find_child_box(input, mdia, "minf"));
  const std::size_t stbl = PLEXO_TRY(find_child_box(input, minf, "stbl"));
  const std::size_t stsz = PLEXO_TRY(find_child_box(input, stbl, "stsz"));
  // A fragmented file's stsz holds no samples; what follows it is not a sample size.
  if (load_u32(input, stsz + 12) == 0u && load_u32(input, stsz + 16) == 0u)
    return fail("Invalid stsz box - no sample sizes");
  const std::uint32_t size = PLEXO_TRY(first_sample_size(input, stsz));
  std::optional<AvcConfig> avc;
  if (auto stbl_box = box_at(input, stbl)) avc = sample_entry_avc(input, *stbl_box);
  return picture(input, SampleSpan{data, size}, avc);
}

}  // namespace

Result<Buffer> thumbnail_from_mp4(ByteView input) {
  auto located = PLEXO_TRY(located_key_frame(input));
  if (located) return std::move(*located);
  return first_sample_at_mdat(input);
}

}  // namespace plexo::thumbnail
