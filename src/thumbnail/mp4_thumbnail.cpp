#include "codecs/h264/framing.hpp"
#include "core/messages.hpp"
#include "mp4_parser/boxes.hpp"
#include "mp4_parser/movie.hpp"
#include "thumbnail/box_search.hpp"
#include "thumbnail/key_frame.hpp"
#include "thumbnail/thumbnail.hpp"
#include "thumbnail/video_track.hpp"

namespace plexo::thumbnail {
namespace {

// The top-level moov, found through every legal box form (a 64-bit mdat before it
// included). A file without one, or with a malformed box before it, is left to the plain
// walk, which reports it.
std::optional<mp4::Box> find_moov(ByteView input) {
  mp4::BoxCursor boxes(input, mp4::kLocatorBoxes);
  for (;;) {
    auto box = boxes.next();
    if (!box || !*box) return std::nullopt;
    if ((*box)->type == FourCC("moov")) return **box;
  }
}

// Appends the parameter sets of the sample entry; returns their NAL unit types as bits.
std::uint32_t put_parameter_sets(Buffer& out, const std::optional<h264::DecoderConfiguration>& avc) {
  std::uint32_t types = 0;
  if (!avc) return types;
  for (ByteView unit : avc->parameter_sets) {
    h264::put_nal_unit(out, unit);
    types |= h264::nal_type_bit(unit);
  }
  return types;
}

// Which pictures must decode on their own: a key frame found through a video track's tables
// or fragments must carry (with the sample entry's parameter sets) an SPS, a PPS and a slice.
enum class Decodable : std::uint8_t { kRequired, kAsFound };

constexpr std::uint32_t kSliceTypes = h264::type_bit(h264::kNonIdrSlice) | h264::type_bit(h264::kIdrSlice);

Result<Buffer> picture(ByteView input, SampleSpan span,
                       const std::optional<h264::DecoderConfiguration>& avc, Decodable decodable) {
  if (span.offset > input.size() || span.size > input.size() - span.offset)
    return fail(msg::kSampleBeyondMdat);
  const ByteView sample = input.subspan(static_cast<std::size_t>(span.offset),
                                        static_cast<std::size_t>(span.size));
  Buffer out;
  std::uint32_t types = put_parameter_sets(out, avc);
  types |= h264::length_prefixed_to_annexb(sample, out, avc ? avc->length_size : h264::kLengthFieldSize);
  if (decodable == Decodable::kRequired) {
    if (!(types & h264::type_bit(h264::kSps)) || !(types & h264::type_bit(h264::kPps)))
      return fail(msg::kKeyFrameWithoutParameterSets);
    if (!(types & kSliceTypes)) return fail(msg::kKeyFrameWithoutPicture);
  }
  return out;
}

// The video track's first key frame, found through its sample tables or, when those are
// empty, through the movie fragments. Nothing when the file lacks what it takes.
Result<std::optional<Buffer>> located_key_frame(ByteView input) {
  auto moov = find_moov(input);
  if (!moov) return std::optional<Buffer>{};
  // The locator's walk stops quietly where others fail: the movie always reads.
  const mp4::Movie movie = PLEXO_TRY(mp4::Movie::read(*moov, mp4::kLocatorBoxes));
  auto video = find_video_track(movie);
  if (!video) return std::optional<Buffer>{};
  auto span = PLEXO_TRY(first_sync_sample(video->tables));
  if (!span) span = PLEXO_TRY(first_fragment_key_frame(input, movie.trex, video->track_id));
  if (!span) return std::optional<Buffer>{};
  return std::optional<Buffer>{PLEXO_TRY(picture(input, *span, video->avc, Decodable::kRequired))};
}

// Without sample tables to go by: the first sample of the first track, taken to lie at the
// start of the mdat payload.
Result<Buffer> first_sample_at_mdat(ByteView input) {
  const mp4::Box mdat = PLEXO_TRY(find_top_level_box(input, "mdat"));
  const std::uint64_t data = mdat.payload_offset();
  if (data >= input.size()) return fail(msg::kInvalidMdat);
  const mp4::Box moov = PLEXO_TRY(find_top_level_box(input, "moov"));
  const mp4::Box trak = PLEXO_TRY(find_child_box(moov, "trak"));
  const mp4::Box mdia = PLEXO_TRY(find_child_box(trak, "mdia"));
  const mp4::Box minf = PLEXO_TRY(find_child_box(mdia, "minf"));
  const mp4::Box stbl = PLEXO_TRY(find_child_box(minf, "stbl"));
  const mp4::Box stsz = PLEXO_TRY(find_child_box(stbl, "stsz"));
  // A fragmented file's stsz holds no samples; what follows it is not a sample size.
  if (auto header = mp4::SampleSizes::read_header(stsz.payload);
      header && header->uniform_size == 0 && header->sample_count == 0)
    return fail(msg::kNoSampleSizes);
  const std::uint32_t size = PLEXO_TRY(first_sample_size(input, static_cast<std::size_t>(stsz.offset)));
  return picture(input, SampleSpan{data, size}, sample_entry_avc(stbl), Decodable::kAsFound);
}

}  // namespace

Result<Buffer> thumbnail_from_mp4(ByteView input) {
  auto located = PLEXO_TRY(located_key_frame(input));
  if (located) return std::move(*located);
  return first_sample_at_mdat(input);
}

}  // namespace plexo::thumbnail
