#include "ts_parser/ts_demux.hpp"

#include <cstring>

#include "core/messages.hpp"
#include "ts_parser/demux_state.hpp"
#include "ts_parser/diagnostics.hpp"
#include "ts_parser/packet_sync.hpp"
#include "ts_parser/psi.hpp"

namespace plexo::ts {
namespace {

constexpr std::uint16_t kPatPid = 0;
constexpr std::uint8_t kPayloadUnitStart = 0x40;
constexpr std::uint8_t kAdaptationFieldPresent = 0x20;
constexpr std::uint8_t kPayloadPresent = 0x10;

struct Scan {
  const DiagnosticSink& diagnostics;
  TsDemuxResult result;
  std::optional<std::uint16_t> pmt_pid;
  bool programme_found = false;
  VideoScan video;
  AudioScan audio;
  ScanTotals totals;
};

// The fields of a packet header that the scan uses. A packet cut off by the end of the input
// has its header read as far as it goes.
struct PacketHeader {
  std::uint16_t pid = 0;
  bool unit_start = false;
  bool has_payload = false;  // a payload that starts within the packet
  std::size_t payload_offset = 4;
};

std::optional<PacketHeader> read_packet_header(ByteView packet) {
  if (packet.size() < 4) return std::nullopt;
  PacketHeader header;
  header.unit_start = packet[1] & kPayloadUnitStart;
  header.pid = static_cast<std::uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
  const std::uint8_t control = packet[3];
  if ((control & kAdaptationFieldPresent) && packet.size() > 4)
    header.payload_offset = 5 + std::size_t{packet[4]};
  header.has_payload = (control & kPayloadPresent) && header.payload_offset <= kPacketSize - 1;
  return header;
}

void dispatch(Scan& scan, ByteView packet) {
  const PacketHeader header = *read_packet_header(packet);
  if (!header.has_payload) return;
  const std::size_t offset = header.payload_offset;
  const bool unit_start = header.unit_start;
  const std::uint16_t pid = header.pid;
  const PacketPayload payload{packet.subspan(offset), offset, unit_start};

  TsDemuxResult& result = scan.result;
  if (!scan.programme_found) {
    if (pid == kPatPid) {
      if (unit_start)
        if (auto pmt_pid = read_pat(payload.bytes, offset)) scan.pmt_pid = pmt_pid;
      return;
    }
    if (scan.pmt_pid && pid == *scan.pmt_pid) {
      if (!unit_start) return;
      if (auto streams = read_pmt(payload.bytes, offset)) {
        if (streams->video) {
          result.video_pid = streams->video->pid;
          result.video_stream_type = streams->video->stream_type;
          scan.video.collect = streams->video->stream_type == kStreamTypeH264 ||
                               streams->video->stream_type == kStreamTypeHevc;
          if (streams->video->stream_type == kStreamTypeHevc) result.video_codec = VideoCodec::kHevc;
        }
        if (streams->audio) {
          result.audio_pid = streams->audio->pid;
          result.audio_stream_type = streams->audio->stream_type;
          result.audio_codec = streams->audio_codec;
        }
        scan.programme_found = true;
        report_programme(scan.diagnostics, *streams);
      }
      return;
    }
    return;  // elementary-stream packets before the programme is known are lost
  }
  if (pid == result.video_pid) handle_video_packet(result, scan.video, scan.totals, payload);
  else if (pid == result.audio_pid) handle_audio_packet(result, scan.audio, scan.totals, payload);
}

// Whether a packet that the end of the input cut off would have carried more of the video
// stream's last access unit: a video packet with a payload that continues a PES. A PES start
// begins a new access unit, and a packet of any other PID carries none of the video.
bool cuts_video_unit(const Scan& scan, ByteView cut_packet) {
  const auto header = read_packet_header(cut_packet);
  return header && scan.programme_found && header->pid == scan.result.video_pid &&
         header->has_payload && !header->unit_start;
}

}  // namespace

Result<TsDemuxResult> demux_ts(ByteView input, const DiagnosticSink& diagnostics,
                               VideoUnits video_units) {
  const void* first_sync = input.empty() ? nullptr : std::memchr(input.data(), kSyncByte, input.size());
  if (!first_sync) return fail(msg::kNoSyncByte);

  Scan scan{diagnostics};
  scan.video.first_key_frame_only = video_units == VideoUnits::kUntilFirstKeyFrame;
  scan.result.video = ElementaryStream(input);
  scan.result.audio = ElementaryStream(input);
  scan.result.video.reserve_for(input.size());
  // The input ends inside a packet when it was cut short: the access unit that packet was
  // carrying is incomplete.
  bool truncated = false;
  auto sync = find_confirmed_sync(
      input, static_cast<std::size_t>(static_cast<const std::uint8_t*>(first_sync) - input.data()));
  while (sync) {
    std::size_t pos = sync->position;
    const std::size_t stride = sync->stride;
    // Every packet whose sync byte lies where the walk expects one is read.
    std::size_t last_read = pos;
    while (input.size() - pos >= kPacketSize && input[pos] == kSyncByte) {
      dispatch(scan, input.subspan(pos, kPacketSize));
      last_read = pos;
      pos += stride;
      if (pos >= input.size()) break;
    }
    if (pos >= input.size()) break;
    if (input.size() - pos < kPacketSize && input[pos] == kSyncByte) {
      truncated = cuts_video_unit(scan, input.subspan(pos));
      break;
    }
    // Sync lost: continue at the next sync byte after the last packet read that the packets
    // after it confirm (the packet read may have been junk covering the start of a real one).
    sync = find_confirmed_sync(input, last_read + 1, stride);
  }

  finish_audio(scan.result, scan.audio, scan.totals);
  finish_video(scan.result, scan.video, truncated);
  report_totals(scan.diagnostics, scan.result, scan.totals);
  return std::move(scan.result);
}

}  // namespace plexo::ts
