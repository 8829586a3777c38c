#include <algorithm>

#include "codecs/h264/framing.hpp"
#include "codecs/h264/h264.hpp"
#include "codecs/h264/parameter_sets.hpp"
#include "ts_parser/demux_state.hpp"

namespace plexo::ts {
namespace {

// Enough bytes after a NAL header to read first_mb_in_slice.
constexpr std::size_t kNalPrefix = 8;
// An MP4 decoder configuration gives each parameter set a 16-bit length.
constexpr std::uint64_t kMaxParameterSetSize = 0xFFFF;

std::vector<std::uint8_t> copy_parameter_set(const ElementaryStream& es, std::uint64_t header,
                                             std::uint64_t end) {
  std::vector<std::uint8_t> nal(static_cast<std::size_t>(end - header));
  nal.resize(es.peek(header, nal.data(), nal.size()));
  // Zero bytes in front of the next start code (trailing_zero_8bits) are not part of it.
  while (nal.size() > 1 && nal.back() == 0) nal.pop_back();
  return nal;
}

void open_unit(TsDemuxResult& result, VideoScan& scan, std::uint64_t header) {
  scan.unit = AccessUnit{};
  scan.unit.first_nal = result.nal_units.size();
  scan.unit_open = true;
  scan.unit_has_slice = false;
  // A PES's timestamps belong to the first access unit that begins in it.
  if (auto* pes = pes_holding(scan.pes, header); pes && !pes->claimed) {
    pes->claimed = true;
    scan.unit.pts = pes->times.pts;
    scan.unit.dts = pes->times.dts;
  }
}

// An access unit without a slice is no picture: its units go. So do pictures that come before
// both parameter sets are known, and after them every picture up to the next IDR picture: they
// cannot be decoded.
void close_unit(TsDemuxResult& result, VideoScan& scan, bool keep) {
  if (!scan.unit_open) return;
  scan.unit_open = false;
  if (keep && scan.unit_has_slice) {
    if (!result.sps || !result.pps) {
      scan.awaiting_key_frame = true;
      result.pictures_without_parameter_sets = true;
      result.key_frame_without_parameter_sets |= scan.unit.sync;
    } else if (!scan.awaiting_key_frame || scan.unit.sync) {
      scan.awaiting_key_frame = false;
      result.access_units.push_back(scan.unit);
      return;
    }
  }
  result.nal_units.resize(scan.unit.first_nal);
}

// Parameter sets are taken only when they can be read, so that the stream's decoder
// configuration describes pictures a decoder can open: the first SPS whose size fields can be
// read, and the first readable PPS that refers to it (one that came before it is dropped when
// it refers to another).
void take_parameter_set(TsDemuxResult& result, VideoScan& scan, std::uint8_t type, std::uint64_t header,
                        std::uint64_t end) {
  if (end - header > kMaxParameterSetSize) return;  // cannot be described in an MP4
  if (type == h264::kSps && !result.sps) {
    std::vector<std::uint8_t> sps = copy_parameter_set(result.video, header, end);
    auto fields = h264::read_sps(sps);
    if (!fields) return;
    result.sps = std::move(sps);
    result.width = fields->size.width;
    result.height = fields->size.height;
    scan.sps_id = fields->id;
    if (result.pps && scan.pps_sps_id != scan.sps_id) result.pps.reset();
  } else if (type == h264::kPps && !result.pps) {
    std::vector<std::uint8_t> pps = copy_parameter_set(result.video, header, end);
    auto sps_id = h264::read_pps_sps_id(pps);
    if (!sps_id || (result.sps && *sps_id != scan.sps_id)) return;
    result.pps = std::move(pps);
    scan.pps_sps_id = *sps_id;
  }
}

void complete_nal(TsDemuxResult& result, VideoScan& scan, std::uint64_t start, std::uint64_t header,
                  std::uint64_t end) {
  std::uint8_t prefix[kNalPrefix];
  const std::size_t have = result.video.peek(header, prefix, std::min<std::uint64_t>(kNalPrefix, end - header));
  const ByteView nal(prefix, have);
  const std::uint8_t type = h264::nal_type(prefix[0]);
  if (!scan.collect) return;  // stopped after the first key frame
  if (h264::opens_access_unit(nal, scan.unit_has_slice)) {
    close_unit(result, scan, true);
    if (scan.first_key_frame_only && result.sps && result.pps && !result.access_units.empty() &&
        result.access_units.back().sync) {
      scan.collect = false;
      return;
    }
  }
  if (!scan.unit_open) open_unit(result, scan, header);

  if (type == h264::kSps || type == h264::kPps) {
    take_parameter_set(result, scan, type, header, end);
  } else if (type != h264::kAccessUnitDelimiter) {
    const std::uint64_t size = end - header;
    result.nal_units.push_back({header, static_cast<std::uint32_t>(size),
                                static_cast<std::uint8_t>(header - start), type});
    // A unit past 4 GiB makes the sample size unrepresentable; the writer refuses it.
    scan.unit.sample_size += h264::kLengthFieldSize + size;
  }
  if (h264::is_vcl(type)) scan.unit_has_slice = true;
  if (type == h264::kIdrSlice) scan.unit.sync = true;
}

// Hands over the NAL units that the bytes received so far complete.
void scan_start_codes(TsDemuxResult& result, VideoScan& scan) {
  scan.start_codes.scan(result.video, [&](std::uint64_t start, std::uint64_t header, std::uint64_t end) {
    complete_nal(result, scan, start, header, end);
  });
}

}  // namespace

PesStart* pes_holding(std::vector<PesStart>& starts, std::uint64_t pos) {
  auto it = std::upper_bound(starts.begin(), starts.end(), pos,
                             [](std::uint64_t p, const PesStart& s) { return p < s.begin; });
  if (it == starts.begin()) return nullptr;
  return &*std::prev(it);
}

void drop_pes_before(std::vector<PesStart>& starts, std::uint64_t pos) {
  const PesStart* holding = pes_holding(starts, pos);
  if (!holding) return;
  starts.erase(starts.begin(), starts.begin() + (holding - starts.data()));
}

void handle_video_packet(TsDemuxResult& result, VideoScan& scan, ScanTotals& totals,
                         const PacketPayload& packet) {
  if (!packet.unit_start) {
    // Continuation of a PES; the stream may begin with the tail of a PES whose start came
    // before the programme was found.
    if (scan.collect) result.video.append(packet.bytes);
  } else {
    if (packet.offset >= kMinPesStartOffset) return;
    const PesTimestamps times = read_pes_header(packet.bytes);
    if (totals.video_pes++ == 0) totals.first_video_pts = times.pts;
    totals.last_video_pts = times.pts;
    if (!scan.collect) return;
    scan.pes.push_back({result.video.size(), times, false});
    if (auto start = pes_data_offset(packet.bytes)) result.video.append(packet.bytes.subspan(*start));
  }
  if (scan.collect) scan_start_codes(result, scan);
}

void finish_video(TsDemuxResult& result, VideoScan& scan, bool truncated) {
  if (!scan.collect) return;
  scan.start_codes.finish(result.video, [&](std::uint64_t start, std::uint64_t header, std::uint64_t end) {
    complete_nal(result, scan, start, header, end);
  });
  close_unit(result, scan, !truncated);
  scan.pes = {};
}

}  // namespace plexo::ts
