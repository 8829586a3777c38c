#include "codecs/nal_framing.hpp"
#include "codecs/video_codec.hpp"
#include "core/messages.hpp"
#include "thumbnail/thumbnail.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::thumbnail {

Result<Buffer> thumbnail_from_ts(ByteView input, const ts::DiagnosticSink& diagnostics) {
  const ts::TsDemuxResult demuxed = PLEXO_TRY(ts::demux_ts(input, diagnostics, ts::VideoUnits::kUntilFirstKeyFrame));
  PLEXO_CHECK(ts::check_supported_video(demuxed));
  if (demuxed.video.empty()) return fail(msg::kNoVideoData);

  // The first picture holding an IDR (HEVC: random-access) slice, from that slice on.
  const VideoCodec codec = demuxed.video_codec;
  const auto& units = demuxed.access_units;
  const auto& nals = demuxed.nal_units;
  std::size_t first = nals.size(), end = nals.size();
  for (std::size_t i = 0; i < units.size() && first == nals.size(); ++i) {
    if (!units[i].sync) continue;
    end = i + 1 < units.size() ? static_cast<std::size_t>(units[i + 1].first_nal) : nals.size();
    for (std::size_t k = units[i].first_nal; k < end; ++k)
      if (is_key_slice(codec, nals[k].type)) {
        first = k;
        break;
      }
  }
  // The demultiplexer keeps only pictures that follow the parameter sets: a key frame
  // without them is none a decoder opens.
  if (first == nals.size())
    return fail(demuxed.key_frame_without_parameter_sets ? ts::no_parameter_sets(demuxed) : msg::kNoIFrame);

  Buffer out;
  if (demuxed.vps) nal::put_nal_unit(out, ByteView(*demuxed.vps));
  nal::put_nal_unit(out, ByteView(*demuxed.sps));
  nal::put_nal_unit(out, ByteView(*demuxed.pps));
  // The picture's slices, each behind its start code as found; units in between that are not
  // slices (filler, end of sequence) are left out.
  ts::ElementaryStream::Copier copier(demuxed.video);
  auto sink = [&out](ByteView piece) { out.put(piece); };
  for (std::size_t k = first; k < end; ++k) {
    if (k != first && !is_slice(codec, nals[k].type)) continue;
    out.put(ByteView(nal::kStartCode + 4 - nals[k].start_code_length, nals[k].start_code_length));
    copier.copy(nals[k].header, nals[k].size, sink);
  }
  return out;
}

}  // namespace plexo::thumbnail
