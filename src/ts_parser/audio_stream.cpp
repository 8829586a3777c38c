#include <algorithm>

#include "codecs/aac/adts.hpp"
#include "ts_parser/demux_state.hpp"

namespace plexo::ts {
namespace {

using aac::kAdtsHeaderSize;

class Framer {
 public:
  Framer(TsDemuxResult& result, AudioScan& scan, ScanTotals& totals, bool final)
      : result_(result), es_(result.audio), scan_(scan), totals_(totals), final_(final), n_(es_.size()) {}

  void run() {
    std::uint64_t from = scan_.search_from;
    for (;;) {
      auto q = next_header(from);
      if (!q) break;
      aac::AdtsHeaderBytes h;
      es_.peek(*q, h, kAdtsHeaderSize);
      const aac::AdtsHeader header = *aac::read_adts_header(h);
      const std::size_t length = header.frame_length;
      // Wait for the frame and the header after it, which confirms the length. At the end
      // of the stream a frame that runs past it is damaged or cut short.
      if (*q + length + kAdtsHeaderSize > n_ && !final_) {
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
      emit(*q, header);
      from = *q + length;
    }
    scan_.search_from = from;
  }

 private:
  // The next valid header at or after `from` whose 7 bytes have arrived; `from` moves to
  // where the search must go on.
  std::optional<std::uint64_t> next_header(std::uint64_t& from) {
    while (auto q = es_.find(0xFF, from, n_)) {
      if (*q + kAdtsHeaderSize > n_) {
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
    if (pos + kAdtsHeaderSize > n_) return false;
    aac::AdtsHeaderBytes h;
    es_.peek(pos, h, kAdtsHeaderSize);
    return aac::read_adts_header(h).has_value();
  }

  // A frame's length is believed when a syncword follows where it says (or the stream ends
  // there), or when no other header starts inside it (the damage lies after the frame).
  bool confirmed(std::uint64_t q, std::size_t length) const {
    const std::uint64_t next = q + length;
    if (next == n_) return true;  // the stream ends with it
    if (next + 2 <= n_ && aac::adts_sync(es_.at(next), es_.at(next + 1))) return true;
    for (auto c = es_.find(0xFF, q + 1, next); c; c = es_.find(0xFF, *c + 1, next))
      if (header_at(*c)) return false;
    return true;
  }

  void emit(std::uint64_t q, const aac::AdtsHeader& header) {
    const std::size_t length = header.frame_length;
    if (header.header_size >= length) return;  // a header without payload yields no frame
    const std::size_t index = result_.audio_frames.size();
    result_.audio_frames.push_back({q + header.header_size, length - header.header_size});
    if (!result_.audio_config) result_.audio_config = header.config;
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
