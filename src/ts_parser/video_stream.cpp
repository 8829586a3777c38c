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
// How much of an SEI unit is looked at for HDR metadata: the messages open it, and they are
// tens of bytes.
constexpr std::uint64_t kMaxSeiRead = 1024;
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
  scan.unit_sets.clear();
  // A PES's timestamps belong to the first access unit that begins in it (listed with the
  // index the unit takes if it is kept).
  if (auto* pes = pes_holding(scan.pes, header); pes && !pes->claimed) {
    pes->claimed = true;
    if (pes->times.pts) result.unit_stamps.push_back({result.access_units.size(), pes->times});
  }
}

// The parameter sets of the last generation begun, or of a change not yet begun (`pending`).
struct HeldSets {
  ByteView vps, sps, pps;
  std::uint16_t width = 0, height = 0;
};
HeldSets held_sets(const TsDemuxResult& result, const ParameterGeneration* pending) {
  const ParameterGeneration* g = pending                          ? pending
                                 : result.later_parameters.empty() ? nullptr
                                                                   : &result.later_parameters.back();
  if (g) return {ByteView(g->vps), ByteView(g->sps), ByteView(g->pps), g->width, g->height};
  return {result.vps ? ByteView(*result.vps) : ByteView(), ByteView(*result.sps), ByteView(*result.pps),
          result.width, result.height};
}

bool same_bytes(ByteView a, ByteView b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// A key picture begins the generation of parameter sets that changed before it: before any
// picture was kept, the changed sets simply replace the stream's first ones. Its sets go into
// the sample in-band too, so that a player that does not switch sample entries still decodes it.
void begin_generation(TsDemuxResult& result, VideoScan& scan) {
  ParameterGeneration generation = std::move(*scan.pending);
  scan.pending.reset();
  // Sets changed and changed back before a key picture: no new generation.
  const HeldSets now = held_sets(result, nullptr);
  if (same_bytes(generation.sps, now.sps) && same_bytes(generation.pps, now.pps) &&
      same_bytes(generation.vps, now.vps))
    return;
  if (!scan.kept_picture) {
    if (result.video_codec == VideoCodec::kHevc) result.vps = std::move(generation.vps);
    result.sps = std::move(generation.sps);
    result.pps = std::move(generation.pps);
    result.width = generation.width;
    result.height = generation.height;
    return;
  }
  if (result.later_parameters.size() + 1 >= kMaxParameterGenerations) {
    result.too_many_parameter_changes = true;
    return;
  }
  generation.first_unit = result.access_units.size();
  result.later_parameters.push_back(std::move(generation));
  // The sets join the unit's own units in stream order (a set may come after a slice in a
  // damaged stream): the units of a sample are read front to back.
  const auto own = static_cast<std::ptrdiff_t>(result.nal_units.size());
  result.nal_units.insert(result.nal_units.end(), scan.unit_sets.begin(), scan.unit_sets.end());
  std::inplace_merge(result.nal_units.begin() + static_cast<std::ptrdiff_t>(scan.unit.first_nal),
                     result.nal_units.begin() + own, result.nal_units.end(),
                     [](const NalRange& a, const NalRange& b) { return a.header < b.header; });
}

// An access unit without a slice is no picture: its units go. So do pictures that come before
// the parameter sets are known, and after them every picture up to the next key picture (IDR,
// or for HEVC any random-access picture): they cannot be decoded. The same holds after a change
// of parameter sets.
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
    } else if (scan.pending && !scan.unit.sync) {
      if (scan.kept_picture) ++result.pictures_dropped_at_changes;
    } else if (!scan.awaiting_key_frame || scan.unit.sync) {
      scan.awaiting_key_frame = false;
      if (scan.pending) begin_generation(result, scan);
      scan.kept_picture = true;
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

// The HDR metadata of an SEI unit, while no picture has been kept: what the sample entry
// describes is what the stream's first picture comes with.
void read_sei(TsDemuxResult& result, std::uint64_t header, std::uint64_t end) {
  const std::size_t header_size = result.video_codec == VideoCodec::kHevc ? hevc::kNalHeaderSize : 1;
  std::uint8_t bytes[kMaxSeiRead];
  const std::size_t have = result.video.peek(header, bytes, std::min<std::uint64_t>(kMaxSeiRead, end - header));
  if (have <= header_size) return;
  const std::vector<std::uint8_t> rbsp = nal::remove_emulation_prevention(ByteView(bytes + header_size, have - header_size));
  sei::read_hdr_messages(rbsp, result.hdr);
}

// Whether a parameter set takes the place of the one held of its kind: the same id (for a PPS,
// referring to the same SPS), readable, and different content. `size` is set to the picture
// size an SPS gives.
bool replaces(VideoCodec codec, std::uint8_t type, ByteView set, ByteView held, HeldSets& size) {
  if (codec == VideoCodec::kH264) {
    if (type == h264::kSps) {
      auto now = h264::read_sps(set), before = h264::read_sps(held);
      if (!now || !before || now->id != before->id) return false;
      size.width = now->size.width;
      size.height = now->size.height;
      return true;
    }
    auto now = h264::read_pps_ids(set), before = h264::read_pps_ids(held);
    return now && before && now->pps_id == before->pps_id && now->sps_id == before->sps_id;
  }
  if (type == hevc::kSps) {
    auto now = hevc::read_sps(set), before = hevc::read_sps(held);
    if (!now || !before || now->id != before->id || now->vps_id != before->vps_id) return false;
    size.width = now->width;
    size.height = now->height;
    return true;
  }
  if (type == hevc::kPps) {
    auto now = hevc::read_pps_ids(set), before = hevc::read_pps_ids(held);
    return now && before && now->pps_id == before->pps_id && now->sps_id == before->sps_id;
  }
  auto now = hevc::read_vps_id(set), before = hevc::read_vps_id(held);
  return now && before && *now == *before;
}

// Once the stream's parameter sets are held, a set whose content changed under an id held
// begins a new generation of them, at the next key picture. The same set repeated (as streams
// do before every key picture), or a set under another id, changes nothing.
void follow_parameter_set(TsDemuxResult& result, VideoScan& scan, std::uint8_t type, std::uint64_t header,
                          std::uint64_t end) {
  const VideoCodec codec = result.video_codec;
  const bool hevc = codec == VideoCodec::kHevc;
  const bool sps = type == (hevc ? hevc::kSps : h264::kSps);
  const bool pps = type == (hevc ? hevc::kPps : h264::kPps);
  if (!sps && !pps && !(hevc && type == hevc::kVps)) return;
  HeldSets held = held_sets(result, scan.pending ? &*scan.pending : nullptr);
  const ByteView held_set = sps ? held.sps : pps ? held.pps : held.vps;
  std::vector<std::uint8_t> set = copy_parameter_set(result.video, header, end);
  if (same_bytes(set, held_set) || !replaces(codec, type, set, held_set, held)) return;
  if (!scan.pending) {
    ParameterGeneration& g = scan.pending.emplace();
    g.vps.assign(held.vps.begin(), held.vps.end());
    g.sps.assign(held.sps.begin(), held.sps.end());
    g.pps.assign(held.pps.begin(), held.pps.end());
  }
  ParameterGeneration& g = *scan.pending;
  g.width = held.width;
  g.height = held.height;
  (sps ? g.sps : pps ? g.pps : g.vps) = std::move(set);
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
      if (has_parameter_sets(result)) follow_parameter_set(result, scan, type, header, end);
      else if (codec == VideoCodec::kH264) take_h264_parameter_set(result, scan, type, header, end);
      else take_hevc_parameter_set(result, scan, type, header, end);
      if (type != (codec == VideoCodec::kH264 ? std::uint8_t{h264::kAccessUnitDelimiter}
                                              : std::uint8_t{hevc::kAccessUnitDelimiter})) {
        NalRange& set = scan.unit_sets.emplace_back();
        set.header = header;
        set.start_code_length = header - start;
        set.type = type;
        set.size = static_cast<std::uint32_t>(end - header);
      }
    }
  } else {
    const bool sei = codec == VideoCodec::kH264 ? type == h264::kSei : type == hevc::kPrefixSei;
    if (sei && !scan.kept_picture && !result.hdr.complete()) read_sei(result, header, end);
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
