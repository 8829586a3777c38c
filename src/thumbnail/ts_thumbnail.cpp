#include "core/h264.hpp"
#include "thumbnail/annexb.hpp"
#include "thumbnail/thumbnail.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::thumbnail {
namespace {

std::optional<h264::NalUnit> next_unit(ByteView es, std::size_t from) {
  return h264::next_nal_unit(es, from);
}

}  // namespace

Result<Buffer> thumbnail_from_ts(ByteView input) {
  const ts::TsDemuxResult demuxed = PLEXO_TRY(ts::demux_ts(input));
  const ByteView es = demuxed.video_es.view();
  if (es.empty()) return fail("No video data found");

  std::optional<h264::NalUnit> idr = next_unit(es, 0);
  while (idr && h264::nal_type(es[idr->header]) != h264::kIdrSlice) idr = next_unit(es, idr->header);
  if (!idr) return fail("No I-frame found in video stream");

  Buffer out;
  if (demuxed.sps) put_nal_unit(out, ByteView(*demuxed.sps));
  if (demuxed.pps) put_nal_unit(out, ByteView(*demuxed.pps));
  out.put(idr->with_start_code(es));
  // The picture's other slices follow until a unit opens the next access unit; units in
  // between that are not slices (filler, end of sequence) are left out.
  for (auto unit = next_unit(es, idr->end); unit; unit = next_unit(es, unit->end)) {
    const ByteView nal = unit->bytes(es);
    if (h264::opens_access_unit(nal, true)) break;
    if (h264::is_vcl(h264::nal_type(nal[0]))) out.put(unit->with_start_code(es));
  }
  return out;
}

}  // namespace plexo::thumbnail
