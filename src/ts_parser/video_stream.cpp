#include <algorithm>
#include <cstring>

#include "codecs/nal_framing.hpp"
#include "codecs/h264/h264.hpp"
#include "codecs/h264/parameter_sets.hpp"
#include "codecs/hevc/hevc.hpp"
#include "codecs/sei.hpp"
#include "codecs/video_codec.hpp"
#include "ts_parser/demux_state.hpp"

namespace plexo::ts {
namespace {

// Enough bytes after a NAL header to read first_mb_in_slice (H.264) or
// first_slice_segment_in_pic_flag (HEVC).
constexpr std::size_t kNalPrefix = 8;
// An MP4 decoder configuration gives each parameter set a 16-bit length.
constexpr std::uint64_t kMaxParameterSetSize = 0xFFFF;
// The bytes of an SEI unit searched for a recovery point: the messages before it are a few
// timing ones, when any.
constexpr std::size_t kSeiPrefix = 256;

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
  // A PES's timestamps belong to the first access unit that begins in it (listed with the
  // index the unit takes if it is kept).
  if (auto* pes = pes_holding(scan.pes, header); pes && !pes->claimed) {
    pes->claimed = true;
    if (pes->times.pts) result.unit_stamps.push_back({result.access_units.size(), pes->times});
  }
}

// An access unit without a slice is no picture: its units go. So do pictures that come before
// the parameter sets are known, and after them every picture up to the next key picture (IDR,
// or for HEVC any random-access picture): they cannot be decoded.
void close_unit(TsDemuxResult& result, VideoScan& scan, bool keep) {
  if (!scan.unit_open) return;
  scan.unit_open = false;
  // A picture that a recovery point marks is one to begin at as well.
  if (scan.unit.sync) scan.unit.recovery = 0;
  else scan.unit.sync = scan.unit.recovery;
  if (keep && scan.unit_has_slice) {
    if (!has_parameter_sets(result)) {
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
  if (!result.unit_stamps.empty() && result.unit_stamps.back().unit == result.access_units.size())
    result.unit_stamps.pop_back();
}

// Parameter sets are taken only when they can be read, so that the stream's decoder
// configuration describes pictures a decoder can open: the first SPS whose size fields can be
// read, and the first readable PPS that refers to it (one that came before it is dropped when
// it refers to another).
void take_h264_parameter_set(TsDemuxResult& result, VideoScan& scan, std::uint8_t type, std::uint64_t header,
                             std::uint64_t end) {
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

// HEVC the same way, one level up as well: the first readable SPS, the first readable PPS
// that refers to it and the first readable VPS it refers to; a PPS or VPS that came before
// the SPS is dropped when the SPS refers to another.
void take_hevc_parameter_set(TsDemuxResult& result, VideoScan& scan, std::uint8_t type, std::uint64_t header,
                             std::uint64_t end) {
  if (type == hevc::kSps && !result.sps) {
    std::vector<std::uint8_t> sps = copy_parameter_set(result.video, header, end);
    auto fields = hevc::read_sps(sps);
    if (!fields) return;
    result.sps = std::move(sps);
    result.width = fields->width;
    result.height = fields->height;
    scan.sps_id = fields->id;
    scan.vps_id = fields->vps_id;
    if (result.pps && scan.pps_sps_id != scan.sps_id) result.pps.reset();
    if (result.vps && scan.held_vps_id != scan.vps_id) result.vps.reset();
  } else if (type == hevc::kPps && !result.pps) {
    std::vector<std::uint8_t> pps = copy_parameter_set(result.video, header, end);
    auto sps_id = hevc::read_pps_sps_id(pps);
    if (!sps_id || (result.sps && *sps_id != scan.sps_id)) return;
    result.pps = std::move(pps);
    scan.pps_sps_id = *sps_id;
  } else if (type == hevc::kVps && !result.vps) {
    std::vector<std::uint8_t> vps = copy_parameter_set(result.video, header, end);
    auto vps_id = hevc::read_vps_id(vps);
    if (!vps_id || (result.sps && *vps_id != scan.vps_id)) return;
    result.vps = std::move(vps);
    scan.held_vps_id = *vps_id;
  }
}

void complete_nal(TsDemuxResult& result, VideoScan& scan, std::uint64_t start, std::uint64_t header,
                  std::uint64_t end) {
  std::uint8_t prefix[kNalPrefix];
  const std::size_t have = result.video.peek(header, prefix, std::min<std::uint64_t>(kNalPrefix, end - header));
  const ByteView nal(prefix, have);
  const VideoCodec codec = result.video_codec;
  const std::uint8_t type = nal_type(codec, prefix[0]);
  if (!scan.collect) return;  // stopped after the first key frame
  if (opens_access_unit(codec, nal, scan.unit_has_slice)) {
    close_unit(result, scan, true);
    if (scan.first_key_frame_only && has_parameter_sets(result) && !result.access_units.empty() &&
        result.access_units.back().sync && !result.access_units.back().recovery) {
      scan.collect = false;
      return;
    }
  }
  if (!scan.unit_open) open_unit(result, scan, header);

  if (stays_out_of_samples(codec, type)) {
    // A parameter set longer than a 16-bit length cannot be described in an MP4.
    if (end - header <= kMaxParameterSetSize) {
      if (codec == VideoCodec::kH264) take_h264_parameter_set(result, scan, type, header, end);
      else take_hevc_parameter_set(result, scan, type, header, end);
    }
  } else {
    NalRange& range = result.nal_units.emplace_back();
    range.header = header;
    range.start_code_length = header - start;
    range.type = type;
    // A unit of 4 GiB or more makes its sample size unrepresentable; the writer refuses it.
    range.size = static_cast<std::uint32_t>(std::min<std::uint64_t>(end - header, UINT32_MAX));
  }
  if (is_slice(codec, type)) scan.unit_has_slice = true;
  if (is_key_slice(codec, type)) scan.unit.sync = true;
  if (codec == VideoCodec::kHevc && is_slice(codec, type)) scan.unit.leading = hevc::leading_flags(type);
  if (codec == VideoCodec::kH264 && type == h264::kSei && !scan.unit.recovery) {
    std::uint8_t sei[kSeiPrefix];
    const std::size_t length = result.video.peek(header, sei, std::min<std::uint64_t>(kSeiPrefix, end - header));
    scan.unit.recovery = sei::recovery_frame_count(ByteView(sei, length), 1).has_value();
  }
}

// The video stream as the start-code scanner reads it just after a payload was added: the
// payload's bytes are searched and read where they lie (a lookup in the stream finds its run
// first), what comes before them through the stream.
class StreamWithPayload {
 public:
  StreamWithPayload(const ElementaryStream& stream, ByteView payload)
      : stream_(stream), payload_(payload), begin_(stream.size() - payload.size()) {}

  std::uint64_t size() const { return stream_.size(); }
  std::uint8_t at(std::uint64_t pos) const {
    return pos >= begin_ ? payload_[static_cast<std::size_t>(pos - begin_)] : stream_.at(pos);
  }
  std::optional<std::uint64_t> find(std::uint8_t value, std::uint64_t from, std::uint64_t to) const {
    if (from < begin_) {
      if (auto hit = stream_.find(value, from, std::min(to, begin_))) return hit;
      from = begin_;
    }
    if (from >= to) return std::nullopt;
    const std::uint8_t* start = payload_.data() + (from - begin_);
    const void* hit = std::memchr(start, value, static_cast<std::size_t>(to - from));
    if (!hit) return std::nullopt;
    return from + static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - start);
  }

 private:
  const ElementaryStream& stream_;
  ByteView payload_;
  std::uint64_t begin_;
};

// Hands over the NAL units that the bytes received so far complete; `added` is the payload
// just added to the stream.
void scan_start_codes(TsDemuxResult& result, VideoScan& scan, ByteView added) {
  scan.start_codes.scan(StreamWithPayload(result.video, added),
                        [&](std::uint64_t start, std::uint64_t header, std::uint64_t end) {
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
  ByteView added;
  if (!packet.unit_start) {
    // Continuation of a PES; the stream may begin with the tail of a PES whose start came
    // before the programme was found.
    if (scan.collect) added = packet.bytes;
  } else {
    if (packet.offset >= kMinPesStartOffset) return;
    const PesTimestamps times = read_pes_header(packet.bytes);
    if (totals.video_pes++ == 0) totals.first_video_pts = times.pts;
    totals.last_video_pts = times.pts;
    if (!scan.collect) return;
    scan.pes.push_back({result.video.size(), times, false});
    if (auto start = pes_data_offset(packet.bytes)) added = packet.bytes.subspan(*start);
  }
  if (!scan.collect) return;
  result.video.append(added);
  scan_start_codes(result, scan, added);
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
