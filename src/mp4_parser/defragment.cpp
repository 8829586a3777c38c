// A fragmented MP4 flattened into ftyp, moov with complete sample tables, and one mdat that
// holds every track's samples, track after track.
#include "mp4_parser/file_layout.hpp"
#include "mp4_parser/fragments.hpp"
#include "mp4_parser/movie_rebuild.hpp"
#include "mp4_parser/operations.hpp"

namespace plexo::mp4 {
namespace {

constexpr std::uint64_t kFileTypeLength = 32;
// Past these, the media box takes a 64-bit size and chunk offsets take 64 bits.
constexpr std::uint64_t kLargestCompactMdat = 0xFFFFFFF7;
constexpr std::uint64_t kLargestCompactOffset = 0xFFFFFFFF;

std::uint64_t mdat_header_length(std::uint64_t data_length) {
  return data_length <= kLargestCompactMdat ? 8 : 16;
}

void put_file_type(Buffer& out) {
  Buffer payload;
  payload.put_fourcc("isom");
  payload.put_u32(0x00000200);
  for (FourCC brand : {FourCC("isom"), FourCC("iso2"), FourCC("avc1"), FourCC("mp41")})
    payload.put_fourcc(brand);
  write_box(out, "ftyp", payload);
}

// Where each track's samples start when the movie payload is `moov_length` bytes long.
std::vector<std::uint64_t> chunk_offsets(const std::vector<TrackRecord>& tracks,
                                         std::uint64_t moov_length, std::uint64_t data_length) {
  std::uint64_t offset = kFileTypeLength + box_length(moov_length) + mdat_header_length(data_length);
  std::vector<std::uint64_t> offsets;
  offsets.reserve(tracks.size());
  for (const TrackRecord& track : tracks) {
    offsets.push_back(offset);
    offset += track.data_length;
  }
  return offsets;
}

}  // namespace

Result<Buffer> defragment(ByteView input) {
  FileLayout layout = PLEXO_TRY(scan_file(input));
  if (!layout.has_moof) return fail("Not a fragmented MP4");
  const BoxView* moov = layout.moov_box();
  if (!moov) return fail("moov box not found");

  std::vector<TrackRecord> tracks = PLEXO_TRY(read_tracks(moov->payload));
  PLEXO_CHECK(collect_fragments(input, layout.boxes, tracks));

  std::uint64_t data_length = 0;
  for (const TrackRecord& track : tracks) data_length += track.data_length;

  // First pass: the movie's length, which the offsets do not change. When the file would end
  // past 4 GiB, the chunk offsets are 64-bit and the movie is measured again.
  MovieOptions options;
  Buffer first = PLEXO_TRY(rebuild_moov(moov->payload, tracks, {}, options));
  std::vector<std::uint64_t> offsets = chunk_offsets(tracks, first.size(), data_length);
  const std::uint64_t end = (offsets.empty() ? 0 : offsets.front()) + data_length;
  if (end > kLargestCompactOffset) {
    options.wide_offsets = true;
    first = PLEXO_TRY(rebuild_moov(moov->payload, tracks, {}, options));
    offsets = chunk_offsets(tracks, first.size(), data_length);
  }
  Buffer movie = PLEXO_TRY(rebuild_moov(moov->payload, tracks, offsets, options));
  if (movie.size() != first.size()) return fail("Movie box length changed between passes");

  Buffer out;
  out.reserve(kFileTypeLength + box_length(movie.size()) + mdat_header_length(data_length) + data_length);
  put_file_type(out);
  write_box(out, "moov", movie);
  if (mdat_header_length(data_length) == 8) {
    out.put_u32(static_cast<std::uint32_t>(data_length + 8));
    out.put_fourcc("mdat");
  } else {
    out.put_u32(1);
    out.put_fourcc("mdat");
    out.put_u64(data_length + 16);
  }
  for (const TrackRecord& track : tracks) track.append_data(out, input);
  return out;
}

}  // namespace plexo::mp4
