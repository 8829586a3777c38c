#include "core/h264.hpp"
#include "ts_parser/demux_state.hpp"

namespace plexo::ts {

void handle_video_packet(TsDemuxResult& result, const PacketPayload& packet) {
  if (!packet.unit_start) {
    // Continuation of a PES; the stream may begin with the tail of a PES whose start came
    // before the programme was found.
    result.video_es.put(packet.bytes);
    return;
  }
  if (packet.offset >= kMinPesStartOffset) return;
  result.video_pes_times.push_back(read_pes_header(packet.bytes));
  result.video_pes_es_offsets.push_back(result.video_es.size());
  if (auto start = pes_data_offset(packet.bytes)) result.video_es.put(packet.bytes.subspan(*start));
}

void find_parameter_sets(TsDemuxResult& result) {
  // The whole stream is searched rather than the first packet of each PES, so that a
  // parameter set split over two packets is still taken whole. In practice both sit at the
  // start of the stream and the search ends after a few bytes.
  ByteView stream = result.video_es.view();
  std::size_t from = 0;
  while (!(result.sps && result.pps)) {
    auto unit = h264::next_nal_unit(stream, from);
    if (!unit) break;
    // Zero bytes in front of the next start code (trailing_zero_8bits) are not part of the
    // unit, since a NAL unit never ends in a zero byte.
    ByteView nal = unit->bytes(stream);
    while (nal.size() > 1 && nal.back() == 0) nal = nal.first(nal.size() - 1);
    const std::uint8_t type = h264::nal_type(nal[0]);
    if (type == h264::kSps && !result.sps) {
      result.sps.emplace(nal.begin(), nal.end());
      if (auto size = read_sps_dimensions(nal)) {
        result.width = size->width;
        result.height = size->height;
      }
    } else if (type == h264::kPps && !result.pps) {
      result.pps.emplace(nal.begin(), nal.end());
    }
    from = unit->end;
  }
}

}  // namespace plexo::ts
