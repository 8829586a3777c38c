#include <algorithm>

#include "ts_parser/demux_state.hpp"

namespace plexo::ts {
namespace {

constexpr std::size_t kAdtsHeader = 7;

AdtsConfig read_config(const std::uint8_t* header) {
  AdtsConfig config;
  config.object_type = static_cast<std::uint8_t>(((header[2] >> 6) & 0x03) + 1);
  config.sampling_frequency_index = static_cast<std::uint8_t>((header[2] >> 2) & 0x0F);
  config.channel_configuration =
      static_cast<std::uint8_t>(((header[2] & 0x01) << 2) | (header[3] >> 6));
  return config;
}

// The 12-bit syncword and layer 0, as every ADTS header has.
bool adts_sync(std::uint8_t b0, std::uint8_t b1) { return b0 == 0xFF && (b1 & 0xF6) == 0xF0; }

std::size_t header_length(const std::uint8_t* h) { return (h[1] & 0x01) ? 7 : 9; }  // protection_absent

std::size_t frame_length(const std::uint8_t* h) {
  return (std::size_t{h[3] & 0x03u} << 11) | (std::size_t{h[4]} << 3) | (h[5] >> 5);
}

// A header is taken when its frame can hold the header itself. Transmission errors give
// lengths below that, which would otherwise end the framing.
bool valid_header(const std::uint8_t* h) {
  return adts_sync(h[0], h[1]) && frame_length(h) >= header_length(h);
}

class Framer {
 public:
  Framer(TsDemuxResult& result, AudioScan& scan, ScanTotals& totals, bool final)
      : result_(result), es_(result.audio), scan_(scan), totals_(totals), final_(final), n_(es_.size()) {}

  void run() {
    std::uint64_t from = scan_.search_from;
    for (;;) {
      auto q = next_header(from);
      if (!q) break;
      std::uint8_t h[kAdtsHeader];
      es_.peek(*q, h, kAdtsHeader);
      const std::size_t length = frame_length(h);
      // Wait for the frame and the header after it, which confirms the length. At the end
      // of the stream a frame that runs past it is damaged or cut short.
      if (*q + length + kAdtsHeader > n_ && !final_) {
        from = *q;
        break;
      }
      if (*q + length > n_) {
        from = *q + 1;
        continue;
      }
      if (!confirmed(*q, length)) {
        from = *q + 1;  // a damaged header: drop its byte and look again
        continue;
      }
      emit(*q, h, length);
      from = *q + length;
    }
    scan_.search_from = from;
  }

 private:
  // The next valid header at or after `from` whose 7 bytes have arrived; `from` moves to
  // where the search must go on.
  std::optional<std::uint64_t> next_header(std::uint64_t& from) {
    while (auto q = es_.find(0xFF, from, n_)) {
      if (*q + kAdtsHeader > n_) {
        from = *q;
        return std::nullopt;
      }
      if (header_at(*q)) return q;
      from = *q + 1;
    }
    from = std::max(from, n_);
    return std::nullopt;
  }

  bool header_at(std::uint64_t pos) const {
    if (pos + kAdtsHeader > n_) return false;
    std::uint8_t h[kAdtsHeader];
    es_.peek(pos, h, kAdtsHeader);
    return valid_header(h);
  }

  // A frame's length is believed when a syncword follows where it says (or the stream ends
  // there), or when no other header starts inside it (the damage lies after the frame).
  bool confirmed(std::uint64_t q, std::size_t length) const {
    const std::uint64_t next = q + length;
    if (next == n_) return true;  // the stream ends with it
    if (next + 2 <= n_ && adts_sync(es_.at(next), es_.at(next + 1))) return true;
    for (auto c = es_.find(0xFF, q + 1, next); c; c = es_.find(0xFF, *c + 1, next))
      if (header_at(*c)) return false;
    return true;
  }

  void emit(std::uint64_t q, const std::uint8_t* h, std::size_t length) {
    const std::size_t header = header_length(h);
    if (header >= length) return;  // a header without payload yields no frame
    const std::size_t index = result_.audio_frames.size();
    result_.audio_frames.push_back({q + header, length - header});
    if (!result_.audio_config) result_.audio_config = read_config(h);
    // The frame's own time: the PTS of the PES it is the first to begin in.
    if (auto* pes = pes_holding(scan_.pes, q); pes && !pes->claimed) {
      pes->claimed = true;
      if (pes->times.pts && !result_.audio_anchor) result_.audio_anchor = AudioAnchor{index, *pes->times.pts};
    }
    // The diagnostic lines report the PTS of the PES that completed the frame.
    const PesStart* completed = pes_holding(scan_.pes, q + length - 1);
    const std::optional<std::uint64_t> stamp = completed ? completed->times.pts : std::nullopt;
    if (index == 0) totals_.first_audio_pts = stamp;
    totals_.last_audio_pts = stamp;
  }

  TsDemuxResult& result_;
  const ElementaryStream& es_;
  AudioScan& scan_;
  ScanTotals& totals_;
  const bool final_;
  const std::uint64_t n_;
};

}  // namespace

void handle_audio_packet(TsDemuxResult& result, AudioScan& scan, ScanTotals& totals,
                         const PacketPayload& packet) {
  if (!packet.unit_start) {
    result.audio.append(packet.bytes);
  } else {
    if (packet.offset >= kMinPesStartOffset) return;
    // The DTS is not used for audio.
    scan.pes.push_back({result.audio.size(), {read_pes_header(packet.bytes).pts, std::nullopt}, false});
    if (auto start = pes_data_offset(packet.bytes)) result.audio.append(packet.bytes.subspan(*start));
  }
  Framer(result, scan, totals, false).run();
}

void finish_audio(TsDemuxResult& result, AudioScan& scan, ScanTotals& totals) {
  Framer(result, scan, totals, true).run();
  scan.pes = {};
}

}  // namespace plexo::ts
