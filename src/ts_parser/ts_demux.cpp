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

void dispatch(Scan& scan, ByteView packet) {
  const bool unit_start = packet[1] & kPayloadUnitStart;
  const auto pid = static_cast<std::uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
  const std::uint8_t control = packet[3];
  std::size_t offset = 4;
  if (control & kAdaptationFieldPresent) offset = 5 + std::size_t{packet[4]};
  if (!(control & kPayloadPresent) || offset > kPacketSize - 1) return;
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
  // The input ends inside a packet when it was cut short: the access unit it was carrying is
  // incomplete.
  bool truncated = false;
  auto sync = find_confirmed_sync(
      input, static_cast<std::size_t>(static_cast<const std::uint8_t*>(first_sync) - input.data()));
  while (sync) {
    std::size_t pos = sync->position;
    const std::size_t stride = sync->stride;
    while (continues_stream(input, pos, stride)) {
      dispatch(scan, input.subspan(pos, kPacketSize));
      pos += stride;
      if (pos >= input.size()) break;
    }
    if (pos >= input.size()) break;
    if (input.size() - pos < kPacketSize) {
      truncated = input[pos] == kSyncByte;
      break;
    }
    // Sync lost: continue at the next sync byte that the one after it confirms.
    sync = find_confirmed_sync(input, pos + 1, stride);
  }

  finish_audio(scan.result, scan.audio, scan.totals);
  finish_video(scan.result, scan.video, truncated);
  report_totals(scan.diagnostics, scan.result, scan.totals);
  return std::move(scan.result);
}

}  // namespace plexo::ts
