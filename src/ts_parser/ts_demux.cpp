#include "ts_parser/ts_demux.hpp"

#include <algorithm>
#include <cstring>

#include "core/messages.hpp"
#include "core/worker.hpp"
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
  AudioStreams audio_streams = AudioStreams::kFirst;
  TsDemuxResult result;
  std::optional<std::uint16_t> pmt_pid;
  bool programme_found = false;
  VideoScan video;
  AudioScan audio;
  std::vector<AudioScan> more_audio;  // of `result.more_audio`, in the same order
  ScanTotals totals;
};

// The audio streams the PMT offers, the first as the result's own. The other streams' bytes
// are kept as the first's are (in the input, or copied).
void take_audio(Scan& scan, const std::vector<AudioEntry>& entries) {
  TsDemuxResult& result = scan.result;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    DemuxedAudio& audio = i == 0 ? result : result.more_audio.emplace_back();
    AudioScan& audio_scan = i == 0 ? scan.audio : scan.more_audio.emplace_back();
    if (i > 0) audio.audio = result.audio;  // still empty: nothing is collected before the PMT
    audio.audio_pid = entries[i].stream.pid;
    audio.audio_stream_type = entries[i].stream.stream_type;
    audio.audio_codec = entries[i].codec;
    audio.language = entries[i].language;
    audio_scan.confirm_adts = entries[i].confirm_adts;
  }
}

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
  const PacketPayload payload{packet.subspan(offset), offset, unit_start, static_cast<std::uint8_t>(packet[3] & 0x0F)};

  TsDemuxResult& result = scan.result;
  if (!scan.programme_found) {
    if (pid == kPatPid) {
      if (unit_start)
        if (auto pmt_pid = read_pat(payload.bytes, offset)) scan.pmt_pid = pmt_pid;
      return;
    }
    if (scan.pmt_pid && pid == *scan.pmt_pid) {
      if (!unit_start) return;
      if (auto streams = read_pmt(payload.bytes, offset, scan.audio_streams)) {
        if (streams->video) {
          result.video_pid = streams->video->pid;
          result.video_stream_type = streams->video->stream_type;
          scan.video.collect = streams->video->stream_type == kStreamTypeH264 ||
                               streams->video->stream_type == kStreamTypeHevc;
          if (streams->video->stream_type == kStreamTypeHevc) result.video_codec = VideoCodec::kHevc;
        }
        take_audio(scan, streams->audio);
        scan.programme_found = true;
        report_programme(scan.diagnostics, *streams);
      }
      return;
    }
    return;  // elementary-stream packets before the programme is known are lost
  }
  if (pid == result.video_pid) handle_video_packet(result, scan.video, scan.totals, payload);
  else if (pid == result.audio_pid) handle_audio_packet(result, scan.audio, scan.totals, payload);
  else
    for (std::size_t i = 0; i < result.more_audio.size(); ++i)
      if (pid == result.more_audio[i].audio_pid) {
        ScanTotals unreported;  // the diagnostic totals are the first stream's
        handle_audio_packet(result.more_audio[i], scan.more_audio[i], unreported, payload);
        break;
      }
}

// Whether a packet that the end of the input cut off would have carried more of the video
// stream's last access unit: a video packet with a payload that continues a PES. A PES start
// begins a new access unit, and a packet of any other PID carries none of the video.
bool cuts_video_unit(const Scan& scan, ByteView cut_packet) {
  const auto header = read_packet_header(cut_packet);
  return header && scan.programme_found && header->pid == scan.result.video_pid &&
         header->has_payload && !header->unit_start;
}

// The packet loop over bytes received so far. Every packet whose sync byte lies where the walk
// expects one is read. When the sync is lost it is found again at the next sync byte after the
// last packet read that the packets after it confirm (the packet read may have been junk
// covering the start of a real one). Over a stream that has not ended (`complete` false) it
// stops where a decision needs bytes not there yet, and goes on from there with more.
struct PacketWalk {
  std::size_t pos = 0;                          // the next packet, or where to look for one
  std::optional<std::size_t> stride;            // locked onto the stream
  std::optional<std::size_t> previous_stride;   // the one locked before the sync was lost
  std::size_t resync_from = 0;                  // the byte after the last packet read
  // The stream ended inside a packet that carried more of the video's last access unit.
  bool truncated = false;

  void run(Scan& scan, ByteView in, bool complete) {
    while (pos < in.size()) {
      if (!stride) {
        if (complete) {
          const auto sync = find_confirmed_sync(in, pos, previous_stride);
          if (!sync) {
            pos = in.size();
            break;
          }
          pos = sync->position;
          stride = sync->stride;
        } else {
          const PartialSync sync = find_confirmed_sync_so_far(in, pos, previous_stride);
          if (sync.wait) break;
          if (!sync.found) {
            pos = in.size();
            break;
          }
          pos = sync.found->position;
          stride = sync.found->stride;
        }
        resync_from = pos + 1;
      }
      const std::size_t left = in.size() - pos;
      if (in[pos] == kSyncByte) {
        if (left >= kPacketSize) {
          dispatch(scan, in.subspan(pos, kPacketSize));
          resync_from = pos + 1;
          pos += *stride;
          continue;
        }
        if (!complete) break;  // the rest of this packet may still come
        truncated = cuts_video_unit(scan, in.subspan(pos));
        pos = in.size();
        break;
      }
      previous_stride = stride;  // sync lost
      stride.reset();
      pos = resync_from;
    }
  }

  // How many leading bytes of what was received the walk no longer needs.
  std::size_t consumed() const { return stride ? std::min(pos, resync_from) : pos; }
  void drop_front(std::size_t n) {
    pos -= n;
    resync_from = resync_from >= n ? resync_from - n : 0;
  }
};

// An audio stream the PMT offered that gave nothing: private data without ADTS, or a stream
// in which no frame was found (of the only one converted, the frame count says so already).
void report_empty_audio(const Scan& scan, const DemuxedAudio& audio, const AudioScan& audio_scan, bool first) {
  if (!audio.audio_pid || audio_scan.found_frame) return;
  const StreamEntry stream{*audio.audio_pid, audio.audio_stream_type};
  if (audio_scan.not_adts)
    report_left_out(scan.diagnostics, {stream, "stream", "private data", "its data does not open with ADTS"});
  else if (!first || scan.audio_streams == AudioStreams::kAll)
    report_left_out(scan.diagnostics, {stream, "audio", audio_codec_name(audio.audio_codec), "no audio frames found"});
}

void finish_scan(Scan& scan, bool truncated) {
  finish_audio(scan.result, scan.audio, scan.totals);
  for (std::size_t i = 0; i < scan.more_audio.size(); ++i) {
    ScanTotals unreported;
    finish_audio(scan.result.more_audio[i], scan.more_audio[i], unreported);
  }
  finish_video(scan.result, scan.video, truncated);
  report_empty_audio(scan, scan.result, scan.audio, true);
  for (std::size_t i = 0; i < scan.more_audio.size(); ++i)
    report_empty_audio(scan, scan.result.more_audio[i], scan.more_audio[i], false);
  report_totals(scan.diagnostics, scan.result, scan.totals);
}

}  // namespace

Result<TsDemuxResult> demux_ts(ByteView input, const DiagnosticSink& diagnostics,
                               VideoUnits video_units, AudioStreams audio_streams) {
  const void* first_sync = input.empty() ? nullptr : std::memchr(input.data(), kSyncByte, input.size());
  if (!first_sync) return fail(msg::kNoSyncByte);

  Scan scan{diagnostics, audio_streams};
  scan.video.first_key_frame_only = video_units == VideoUnits::kUntilFirstKeyFrame;
  scan.result.video = ElementaryStream(input);
  scan.result.audio = ElementaryStream(input);
  scan.result.video.reserve_for(input.size());
  PacketWalk walk;
  walk.pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(first_sync) - input.data());
  walk.run(scan, input, true);
  finish_scan(scan, walk.truncated);
  return std::move(scan.result);
}

Result<TsDemuxResult> demux_ts_file(InputFile& file, const DiagnosticSink& diagnostics,
                                    AudioStreams audio_streams) {
  constexpr std::uint64_t kWindow = std::uint64_t{8} << 20;
  const ByteView image = file.view();
  const std::uint64_t size = file.size();
  Scan scan{diagnostics, audio_streams};
  scan.result.video = ElementaryStream(image);
  scan.result.audio = ElementaryStream(image);
  PacketWalk walk;
  bool saw_sync = false;
  std::uint64_t loaded = 0;
  file.read_in_windows();
  // Each window after the first is read by a thread of its own while the one before it is
  // walked (in this thread when none can be had).
  Status read_ahead;
  std::uint64_t ahead = 0;  // the ticket of the window being read, 0 when none is
  std::unique_ptr<Worker> reader = Worker::start();
  while (loaded < size) {
    const std::uint64_t next = std::min(size, loaded + kWindow);
    if (ahead) {
      reader->wait(ahead);
      ahead = 0;
      PLEXO_CHECK(read_ahead);
    } else {
      PLEXO_CHECK(file.load(loaded, next - loaded));
    }
    if (reader && next < size) {
      const std::uint64_t after = std::min(size, next + kWindow);
      ahead = reader->submit([&file, &read_ahead, next, after] { read_ahead = file.load(next, after - next); });
    }
    if (!saw_sync) {
      // The walk starts at the first sync byte, as over the whole input.
      const void* hit = std::memchr(image.data() + loaded, kSyncByte, static_cast<std::size_t>(next - loaded));
      saw_sync = hit != nullptr;
      if (hit) walk.pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - image.data());
    }
    loaded = next;
    if (!saw_sync) {
      file.release_below(loaded);
      continue;
    }
    walk.run(scan, image.first(static_cast<std::size_t>(loaded)), loaded == size);
    // What a reader may still look at: the packets from the walk's position, the NAL unit
    // being read and the start-code search, the audio framing's search. The rest goes.
    std::uint64_t keep = walk.pos;
    if (scan.video.collect)
      if (auto at = scan.result.video.input_offset(scan.video.start_codes.unread_from())) keep = std::min(keep, *at);
    if (auto at = scan.result.audio.input_offset(scan.audio.search_from)) keep = std::min(keep, *at);
    for (std::size_t i = 0; i < scan.more_audio.size(); ++i)
      if (auto at = scan.result.more_audio[i].audio.input_offset(scan.more_audio[i].search_from)) keep = std::min(keep, *at);
    file.release_below(keep);
  }
  if (!saw_sync) return fail(msg::kNoSyncByte);
  finish_scan(scan, walk.truncated);
  return std::move(scan.result);
}

// Bytes the pieces received may leave allocated between pushes.
constexpr std::size_t kMaxIdlePending = std::size_t{16} << 20;

namespace {

// Audio: the first `frames` frames, then every byte before the next frame or the framing's
// search.
void release_audio(DemuxedAudio& audio, AudioScan& scan, std::size_t frames) {
  frames = std::min(frames, audio.audio_frames.size());
  // The frames, then every byte before the next frame or the framing's search.
  audio.audio_frames.erase(audio.audio_frames.begin(), audio.audio_frames.begin() + static_cast<std::ptrdiff_t>(frames));
  // A gap at the first frame kept lengthened the last one let go: it was used with it.
  const auto later = std::find_if(audio.audio_gaps.begin(), audio.audio_gaps.end(),
                                  [frames](const AudioGap& gap) { return gap.frame > frames || frames == 0; });
  std::uint64_t gone = 0;  // ticks the gaps let go of add
  for (auto gap = audio.audio_gaps.begin(); gap != later; ++gap) gone += gap->ticks;
  audio.audio_gaps.erase(audio.audio_gaps.begin(), later);
  for (AudioGap& gap : audio.audio_gaps) gap.frame -= frames;
  // The anchor moves to the first frame held when its own goes.
  if (audio.audio_anchor && frames > 0) {
    if (audio.audio_anchor->frame >= frames) {
      audio.audio_anchor->frame -= frames;
    } else {
      const std::uint64_t after = audio_frame_clock(audio).ticks(frames - audio.audio_anchor->frame) + gone;
      audio.audio_anchor = AudioAnchor{0, (audio.audio_anchor->pts + after) & ((std::uint64_t{1} << 33) - 1)};
    }
  }
  scan.released += frames;
  std::uint64_t audio_keep = scan.search_from;
  if (!audio.audio_frames.empty()) audio_keep = std::min<std::uint64_t>(audio_keep, audio.audio_frames.front().begin);
  audio.audio.discard_before(audio_keep);
  drop_pes_before(scan.pes, audio_keep);
}

}  // namespace

struct StreamDemuxer::State {
  State(const DiagnosticSink& sink, AudioStreams audio_streams) : diagnostics(sink), scan{diagnostics, audio_streams} {
    scan.result.video = ElementaryStream::owning();
    scan.result.audio = ElementaryStream::owning();
  }
  DiagnosticSink diagnostics;
  Scan scan;
  PacketWalk walk;
  ByteVector pending;  // received bytes from the walk's position on
  bool saw_sync_byte = false;
  bool finished = false;
};

StreamDemuxer::StreamDemuxer(const DiagnosticSink& diagnostics, AudioStreams audio_streams)
    : state_(std::make_unique<State>(diagnostics, audio_streams)) {}
StreamDemuxer::~StreamDemuxer() = default;

void StreamDemuxer::push(ByteView chunk) {
  State& s = *state_;
  if (s.finished || chunk.empty()) return;
  s.saw_sync_byte = s.saw_sync_byte || std::memchr(chunk.data(), kSyncByte, chunk.size());
  s.pending.insert(s.pending.end(), chunk.begin(), chunk.end());
  s.walk.run(s.scan, ByteView(s.pending.data(), s.pending.size()), false);
  const std::size_t done = s.walk.consumed();
  s.pending.erase(s.pending.begin(), s.pending.begin() + static_cast<std::ptrdiff_t>(done));
  s.walk.drop_front(done);
  // What is left is a packet or so: memory that an unusually large piece took goes back.
  if (s.pending.capacity() > kMaxIdlePending && s.pending.size() < s.pending.capacity() / 4) s.pending.shrink_to_fit();
}

void StreamDemuxer::finish() {
  State& s = *state_;
  if (s.finished) return;
  s.finished = true;
  s.walk.run(s.scan, ByteView(s.pending.data(), s.pending.size()), true);
  s.pending = {};
  finish_scan(s.scan, s.walk.truncated);
}

const TsDemuxResult& StreamDemuxer::result() const { return state_->scan.result; }
bool StreamDemuxer::saw_sync_byte() const { return state_->saw_sync_byte; }
bool StreamDemuxer::finished() const { return state_->finished; }

void StreamDemuxer::release(std::size_t units, std::size_t frames) {
  Scan& scan = state_->scan;
  TsDemuxResult& r = scan.result;
  units = std::min(units, r.access_units.size());

  // Video: the units' NAL entries, then every byte before what is still to be read.
  VideoScan& video = scan.video;
  const std::size_t first_nal = units < r.access_units.size() ? r.access_units[units].first_nal
                                : video.unit_open             ? video.unit.first_nal
                                                              : r.nal_units.size();
  r.access_units.erase(r.access_units.begin(), r.access_units.begin() + static_cast<std::ptrdiff_t>(units));
  r.nal_units.erase(r.nal_units.begin(), r.nal_units.begin() + static_cast<std::ptrdiff_t>(first_nal));
  for (AccessUnit& unit : r.access_units) unit.first_nal -= first_nal;
  if (video.unit_open) video.unit.first_nal -= first_nal;
  const auto stamped = std::find_if(r.unit_stamps.begin(), r.unit_stamps.end(),
                                    [units](const UnitStamp& stamp) { return stamp.unit >= units; });
  r.unit_stamps.erase(r.unit_stamps.begin(), stamped);
  for (UnitStamp& stamp : r.unit_stamps) stamp.unit -= units;
  for (ParameterGeneration& g : r.later_parameters) g.first_unit -= std::min<std::uint64_t>(g.first_unit, units);
  std::uint64_t video_keep = video.start_codes.unread_from();
  if (!r.nal_units.empty()) video_keep = std::min(video_keep, r.nal_units.front().header - r.nal_units.front().start_code_length);
  // The open unit's parameter sets, which it carries in-band if it begins a generation.
  if (video.unit_open && !video.unit_sets.empty())
    video_keep = std::min(video_keep, video.unit_sets.front().header - video.unit_sets.front().start_code_length);
  r.video.discard_before(video_keep);
  drop_pes_before(video.pes, video_keep);

  release_audio(r, scan.audio, frames);
}

void StreamDemuxer::release_more_audio(std::size_t stream, std::size_t frames) {
  Scan& scan = state_->scan;
  if (stream < scan.more_audio.size()) release_audio(scan.result.more_audio[stream], scan.more_audio[stream], frames);
}

}  // namespace plexo::ts
