#include "codecs/nal_framing.hpp"
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

// Which pictures must decode on their own: a key frame found through a video track's tables
// or fragments must carry (with the sample entry's parameter sets) every parameter set its
// codec needs (H.264: SPS and PPS; HEVC: VPS, SPS and PPS) and a slice.
enum class Decodable : std::uint8_t { kRequired, kAsFound };

constexpr std::uint64_t kH264ParameterSets = type_bit(h264::kSps) | type_bit(h264::kPps);
constexpr std::uint64_t kHevcParameterSets = type_bit(hevc::kVps) | type_bit(hevc::kSps) | type_bit(hevc::kPps);

Result<Buffer> picture(ByteView input, SampleSpan span, const SampleEntryCodec& entry, Decodable decodable) {
  if (span.offset > input.size() || span.size > input.size() - span.offset)
    return fail(msg::kSampleBeyondMdat);
  const ByteView sample = input.subspan(static_cast<std::size_t>(span.offset),
                                        static_cast<std::size_t>(span.size));
  Buffer out;
  // The NAL unit types the picture holds, and whether one is a slice.
  std::uint64_t types = 0;
  bool slice = false;
  auto note = [&](ByteView unit) {
    if (unit.empty()) return;
    const std::uint8_t type = nal_type(entry.codec, unit[0]);
    types |= type_bit(type);
    slice |= entry.codec == VideoCodec::kH264 ? type == h264::kNonIdrSlice || type == h264::kIdrSlice
                                              : hevc::is_vcl(type);
  };
  if (entry.config) {
    for (ByteView unit : entry.config->parameter_sets) {
      nal::put_nal_unit(out, unit);
      note(unit);
    }
  }
  nal::length_prefixed_to_annexb(sample, out, entry.config ? entry.config->length_size : nal::kLengthFieldSize, note);
  if (decodable == Decodable::kRequired) {
    const bool hevc = entry.codec == VideoCodec::kHevc;
    const std::uint64_t needed = hevc ? kHevcParameterSets : kH264ParameterSets;
    if ((types & needed) != needed)
      return fail(hevc ? msg::kKeyFrameWithoutHevcParameterSets : msg::kKeyFrameWithoutParameterSets);
    if (!slice) return fail(msg::kKeyFrameWithoutPicture);
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
  auto video = PLEXO_TRY(find_video_track(movie));
  if (!video) return std::optional<Buffer>{};
  auto span = PLEXO_TRY(first_sync_sample(video->tables));
  if (!span) span = PLEXO_TRY(first_fragment_key_frame(input, movie.trex, video->track_id));
  if (!span) return std::optional<Buffer>{};
  return std::optional<Buffer>{PLEXO_TRY(picture(input, *span, video->entry, Decodable::kRequired))};
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
  return picture(input, SampleSpan{data, size}, sample_entry_codec(stbl).value_or(SampleEntryCodec{}),
                 Decodable::kAsFound);
}

}  // namespace

Result<Buffer> thumbnail_from_mp4(ByteView input) {
  auto located = PLEXO_TRY(located_key_frame(input));
  if (located) return std::move(*located);
  return first_sample_at_mdat(input);
}

}  // namespace plexo::thumbnail
