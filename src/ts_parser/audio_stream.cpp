// The audio elementary stream cut into frames: one framing for every audio codec, which
// differ only in how a frame header is found and read (FrameSyntax).
#include <algorithm>

#include "codecs/aac/adts.hpp"
#include "codecs/ac3/ac3.hpp"
#include "codecs/mpeg_audio/frame_header.hpp"
#include "ts_parser/clock.hpp"
#include "ts_parser/demux_state.hpp"

namespace plexo::ts {
namespace {

// The most header bytes any syntax reads to find a frame's length.
constexpr std::size_t kMaxHeaderSize = std::max({aac::kAdtsHeaderSize, mpeg_audio::kHeaderSize, ac3::kHeaderSize});
// Bytes of an E-AC-3 syncframe read for its bitstream information (channel map, bsmod).
constexpr std::size_t kEac3InfoBytes = 64;
constexpr std::uint64_t kMaxSampleSize = 0xFFFF;

// One frame header as the framing needs it.
struct FrameShape {
  AudioCodec codec = AudioCodec::kNone;
  std::size_t length = 0;  // header included
  std::size_t skip = 0;    // bytes at the front that are no part of the sample (the ADTS header)
  std::uint32_t key = 0;   // what every frame of the stream repeats
};

// How the frames of the stream's codec begin. An MPEG audio stream whose first frame has not
// been found yet may carry ADTS instead; the first frame kept decides.
class FrameSyntax {
 public:
  explicit FrameSyntax(AudioCodec codec) : codec_(codec) {}

  std::uint8_t first_byte() const { return ac3_family() ? ac3::kSync0 : 0xFF; }
  std::size_t header_size() const {
    switch (codec_) {
      case AudioCodec::kAac: return aac::kAdtsHeaderSize;
      case AudioCodec::kMpegAudio: return mpeg_audio::kHeaderSize;
      default: return ac3::kHeaderSize;
    }
  }
  bool sync(std::uint8_t b0, std::uint8_t b1) const {
    if (codec_ == AudioCodec::kAac) return aac::adts_sync(b0, b1);
    if (codec_ == AudioCodec::kMpegAudio) return mpeg_audio::frame_sync(b0, b1);
    return ac3::frame_sync(b0, b1);
  }

  // `h` holds header_size() bytes, and an ADTS header's when `adts_allowed`.
  std::optional<FrameShape> read(const std::uint8_t* h, bool adts_allowed) const {
    if (codec_ == AudioCodec::kAac || (adts_allowed && mpeg_audio::header_layer(h[1]) == mpeg_audio::Layer::kAdts)) {
      aac::AdtsHeaderBytes bytes;
      std::copy(h, h + aac::kAdtsHeaderSize, bytes);
      const auto header = aac::read_adts_header(bytes);
      if (!header) return std::nullopt;
      return FrameShape{AudioCodec::kAac, header->frame_length, header->header_size, 0};
    }
    if (codec_ == AudioCodec::kMpegAudio) {
      std::uint8_t bytes[mpeg_audio::kHeaderSize];
      std::copy(h, h + mpeg_audio::kHeaderSize, bytes);
      const auto header = mpeg_audio::read_frame_header(bytes);
      if (!header) return std::nullopt;
      // version, layer and sampling frequency
      return FrameShape{AudioCodec::kMpegAudio, header->frame_length, 0,
                        (std::uint32_t{h[1] & 0x1Eu} << 8) | (h[2] & 0x0Cu)};
    }
    const auto frame = ac3::read_syncframe(ByteView(h, ac3::kHeaderSize));
    if (!frame) return std::nullopt;
    return FrameShape{frame->enhanced ? AudioCodec::kEac3 : AudioCodec::kAc3, frame->frame_size, 0,
                      frame->sample_rate | (frame->enhanced ? 0x80000000u : 0u)};
  }

 private:
  bool ac3_family() const { return codec_ == AudioCodec::kAc3 || codec_ == AudioCodec::kEac3; }
  AudioCodec codec_;
};

class Framer {
 public:
  Framer(DemuxedAudio& result, AudioScan& scan, ScanTotals& totals, bool final)
      : result_(result), es_(result.audio), scan_(scan), totals_(totals), final_(final), n_(es_.size()),
        syntax_(result.audio_codec), adts_allowed_(result.audio_codec == AudioCodec::kMpegAudio && !scan.stream_key),
        header_size_(adts_allowed_ ? aac::kAdtsHeaderSize : syntax_.header_size()) {}

  void run() {
    std::uint64_t from = scan_.search_from;
    for (;;) {
      auto q = next_header(from);
      if (!q) break;
      const FrameShape shape = *shape_at(*q);
      const std::size_t length = shape.length;
      // Wait for the frame and the header after it, which confirms the length. At the end
      // of the stream a frame that runs past it is damaged or cut short.
      if (*q + length + header_size_ > n_ && !final_) {
        from = *q;
        break;
      }
      if (*q + length > n_) {
        from = *q + 1;
        continue;
      }
      if (spans_loss(*q, length) || !confirmed(*q, length)) {
        from = *q + 1;  // a damaged header: drop its byte and look again
        continue;
      }
      emit(*q, shape);
      from = *q + length;
    }
    scan_.search_from = from;
  }

 private:
  // The next valid header at or after `from` whose bytes have arrived; `from` moves to where
  // the search must go on.
  std::optional<std::uint64_t> next_header(std::uint64_t& from) {
    while (auto q = es_.find(syntax_.first_byte(), from, n_)) {
      if (*q + header_size_ > n_) {
        from = *q;
        return std::nullopt;
      }
      if (shape_at(*q)) return q;
      from = *q + 1;
    }
    from = std::max(from, n_);
    return std::nullopt;
  }

  // The header at `pos`, when one starts there that fits the stream.
  std::optional<FrameShape> shape_at(std::uint64_t pos) const {
    if (pos + header_size_ > n_) return std::nullopt;
    std::uint8_t h[kMaxHeaderSize];
    es_.peek(pos, h, header_size_);
    auto shape = syntax_.read(h, adts_allowed_);
    if (!shape || shape->length < header_size_) return std::nullopt;
    if (decided() && (shape->codec != result_.audio_codec || (scan_.stream_key && shape->key != *scan_.stream_key)))
      return std::nullopt;
    return shape;
  }

  // Whether packets were lost inside the frame's bytes: its end is another frame's.
  bool spans_loss(std::uint64_t q, std::size_t length) const {
    return scan_.loss_at && q < *scan_.loss_at && q + length > *scan_.loss_at;
  }

  // Whether the first frame has fixed the stream's codec.
  bool decided() const { return !result_.audio_frames.empty() || scan_.stream_key.has_value();
  }

  // A frame's length is believed when a syncword follows where it says (or the stream ends
  // there), or when no other header starts inside it (the damage lies after the frame).
  bool confirmed(std::uint64_t q, std::size_t length) const {
    const std::uint64_t next = q + length;
    if (next == n_) return true;  // the stream ends with it
    if (next + 2 <= n_ && syntax_.sync(es_.at(next), es_.at(next + 1))) return true;
    for (auto c = es_.find(syntax_.first_byte(), q + 1, next); c; c = es_.find(syntax_.first_byte(), *c + 1, next))
      if (shape_at(*c)) return false;
    return true;
  }

  // The stream's first frame fixes its codec and what later headers repeat, and gives the
  // track's description.
  void describe(std::uint64_t q, const FrameShape& shape) {
    std::uint8_t h[kEac3InfoBytes];
    const std::size_t n = es_.peek(q, h, std::min<std::size_t>(shape.length, kEac3InfoBytes));
    switch (shape.codec) {
      case AudioCodec::kAac: {
        aac::AdtsHeaderBytes bytes;
        std::copy(h, h + aac::kAdtsHeaderSize, bytes);
        result_.audio_config = aac::read_adts_header(bytes)->config;
        break;
      }
      case AudioCodec::kMpegAudio: {
        std::uint8_t bytes[mpeg_audio::kHeaderSize];
        std::copy(h, h + mpeg_audio::kHeaderSize, bytes);
        result_.mpeg_audio_header = mpeg_audio::read_frame_header(bytes);
        break;
      }
      case AudioCodec::kAc3: result_.ac3_frame = ac3::read_syncframe(ByteView(h, n)); break;
      case AudioCodec::kEac3: result_.ec3_config = ac3::Ec3Config{}; break;
      case AudioCodec::kNone: break;
    }
    result_.audio_codec = shape.codec;
    if (shape.codec != AudioCodec::kAac) scan_.stream_key = shape.key;
  }

  void emit(std::uint64_t q, const FrameShape& shape) {
    const std::size_t length = shape.length;
    if (shape.skip >= length) return;  // a header without payload yields no frame
    if (!decided()) describe(q, shape);
    if (shape.codec == AudioCodec::kEac3 && join_eac3_sample(q, length)) {
      report(q + length);
      return;
    }
    if (shape.codec == AudioCodec::kEac3 && !scan_.open_blocks) return;  // a substream without its own
    const std::size_t index = result_.audio_frames.size();
    result_.audio_frames.push_back({q + shape.skip, length - shape.skip});
    scan_.found_frame = true;
    if (scan_.loss_at && q >= *scan_.loss_at && !scan_.after_loss) scan_.after_loss = scan_.released + index;
    // The frame's own time: the PTS of the PES it is the first to begin in (not when packets
    // were lost between the PES's start and the frame: its first frame went with them).
    if (auto* pes = pes_holding(scan_.pes, q); pes && !pes->claimed) {
      pes->claimed = true;
      const bool first = !(scan_.loss_at && pes->begin < *scan_.loss_at && q >= *scan_.loss_at);
      if (first && pes->times.pts && !result_.audio_anchor) result_.audio_anchor = AudioAnchor{index, *pes->times.pts};
      if (first && pes->times.pts) follow_pts(index, *pes->times.pts);
    }
    if (index == 0) totals_.first_audio_pts = stamp(q + length);
    report(q + length);
  }

  // Frames follow one another by count from the last that set it; a PTS more than half a
  // frame later is a gap, kept, and one more than half a frame earlier sets the count again.
  // A gap found after packets were lost inside a PES lies before the first frame that began
  // after them (when it is still held), so that the frames up to this one keep their times.
  void follow_pts(std::size_t index, std::uint64_t pts) {
    const std::uint64_t frame = scan_.released + index;
    const std::optional<std::uint64_t> after_loss = scan_.after_loss;
    scan_.loss_at.reset();
    scan_.after_loss.reset();
    if (scan_.count) {
      const AudioFrameClock clock = audio_frame_clock(result_);
      const std::uint64_t expected = scan_.count->pts + scan_.gap_ticks + clock.ticks(frame - scan_.count->frame);
      const std::int64_t off = clock_difference(pts, expected);
      // |off| against half a frame, in ticks times twice the sample rate
      const u128 twice = u128{static_cast<std::uint64_t>(off < 0 ? -off : off)} * 2 * clock.sample_rate;
      if (twice <= u128{clock.frame_samples} * 90000) return;
      if (off > 0) {
        std::uint64_t at = frame;
        if (after_loss && *after_loss > scan_.count->frame)
          at = std::min(frame, std::max(*after_loss, scan_.released + 1));
        result_.audio_gaps.push_back({static_cast<std::size_t>(at - scan_.released), static_cast<std::uint64_t>(off)});
        // The count goes on from where it was set, gaps added, so that its rounding does
        // not add up from gap to gap.
        scan_.gap_ticks += static_cast<std::uint64_t>(off);
        return;
      }
    }
    scan_.count = AudioAnchor{static_cast<std::size_t>(frame), pts};
    scan_.gap_ticks = 0;
  }

  // An E-AC-3 sample is an independent substream 0 syncframe with the substreams that follow
  // it, and as many syncframes as make six audio blocks. Returns whether the syncframe joined
  // the last sample; otherwise it begins a new one (scan_.open_blocks > 0) or, a substream
  // without the syncframe it belongs to, is dropped (scan_.open_blocks == 0).
  bool join_eac3_sample(std::uint64_t q, std::size_t length) {
    std::uint8_t h[kEac3InfoBytes];
    const std::size_t n = es_.peek(q, h, std::min<std::size_t>(length, kEac3InfoBytes));
    const auto frame = ac3::read_syncframe(ByteView(h, n));
    const bool starts_sample = frame->independent() && frame->substream_id == 0;
    const bool open = !result_.audio_frames.empty() && scan_.open_blocks > 0 && scan_.open_end == q &&
                      result_.audio_frames.back().size + length <= kMaxSampleSize;
    const bool joins = open && (!starts_sample || scan_.open_blocks < ac3::kFrameBlocks);
    if (joins) {
      result_.audio_frames.back().size += length;
      if (starts_sample) scan_.open_blocks += frame->blocks;
      scan_.open_end = q + length;
      if (result_.audio_frames.size() == 1) result_.ec3_config->add(*frame);
      return true;
    }
    scan_.open_blocks = starts_sample ? frame->blocks : 0;
    scan_.open_end = q + length;
    if (starts_sample && result_.audio_frames.empty()) result_.ec3_config->add(*frame);
    return false;
  }

  // The PTS of the PES that completed a frame, which the diagnostic lines report.
  std::optional<std::uint64_t> stamp(std::uint64_t end) const {
    const PesStart* completed = pes_holding(scan_.pes, end - 1);
    return completed ? completed->times.pts : std::nullopt;
  }
  void report(std::uint64_t end) { totals_.last_audio_pts = stamp(end); }

  DemuxedAudio& result_;
  const ElementaryStream& es_;
  AudioScan& scan_;
  ScanTotals& totals_;
  const bool final_;
  const std::uint64_t n_;
  const FrameSyntax syntax_;
  const bool adts_allowed_;
  const std::size_t header_size_;
};


// Whether the data of a PES opens with an ADTS header.
bool opens_with_adts(ByteView data) {
  if (data.size() < aac::kAdtsHeaderSize) return data.size() >= 2 && aac::adts_sync(data[0], data[1]);
  aac::AdtsHeaderBytes bytes;
  std::copy(data.begin(), data.begin() + aac::kAdtsHeaderSize, bytes);
  return aac::read_adts_header(bytes).has_value();
}

}  // namespace

AudioFrameClock audio_frame_clock(const DemuxedAudio& result) {
  AudioFrameClock clock;
  if (const auto& mpeg = result.mpeg_audio_header; result.audio_codec == AudioCodec::kMpegAudio && mpeg) {
    clock = {mpeg->sample_rate, mpeg->samples};
  } else if (const auto& ac3 = result.ac3_frame; result.audio_codec == AudioCodec::kAc3 && ac3) {
    clock = {ac3->sample_rate, ac3::kBlockSamples * ac3::kFrameBlocks};
  } else if (const auto& ec3 = result.ec3_config; result.audio_codec == AudioCodec::kEac3 && ec3 && ec3->count > 0) {
    clock = {ec3->substreams[0].frame.sample_rate, ac3::kBlockSamples * ac3::kFrameBlocks};
  } else if (const auto& config = result.audio_config; config && config->fits_two_bytes()) {
    clock.sample_rate = config->sample_rate();
  }
  if (clock.sample_rate == 0 || clock.frame_samples == 0) clock = {};
  return clock;
}

void handle_audio_packet(DemuxedAudio& result, AudioScan& scan, ScanTotals& totals,
                         const PacketPayload& packet) {
  if (scan.not_adts) return;
  // A counter that neither repeats (a duplicate) nor steps by one says packets were lost.
  const auto previous = scan.continuity;
  scan.continuity = packet.continuity;
  if (previous && packet.continuity != *previous && packet.continuity != ((*previous + 1) & 0x0F))
    scan.loss_at = result.audio.size();
  if (!packet.unit_start) {
    if (scan.confirm_adts) return;  // the rest of a PES whose start was not seen
    result.audio.append(packet.bytes);
  } else {
    if (packet.offset >= kMinPesStartOffset) return;
    const auto start = pes_data_offset(packet.bytes);
    if (scan.confirm_adts) {
      if (!start) return;
      scan.not_adts = !opens_with_adts(packet.bytes.subspan(*start));
      scan.confirm_adts = false;
      if (scan.not_adts) return;
    }
    // The DTS is not used for audio.
    scan.pes.push_back({result.audio.size(), {read_pes_header(packet.bytes).pts, std::nullopt}, false});
    if (start) result.audio.append(packet.bytes.subspan(*start));
  }
  Framer(result, scan, totals, false).run();
}

void finish_audio(DemuxedAudio& result, AudioScan& scan, ScanTotals& totals) {
  Framer(result, scan, totals, true).run();
  scan.pes = {};
}

}  // namespace plexo::ts
