#include "ts_parser/diagnostics.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "ts_parser/demux_state.hpp"
#include "ts_parser/psi.hpp"

namespace plexo::ts {
namespace {

__attribute__((format(printf, 2, 3))) void write_line(const DiagnosticSink& sink,
                                                      const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length <= 0) return;
  sink.write_line(line, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof line - 1));
}

void report_range(const DiagnosticSink& sink, const char* label, std::uint64_t first,
                  std::uint64_t last) {
  write_line(sink, "%s PTS range: %" PRIu64 " - %" PRIu64 " (%.2f - %.2f sec)\n", label, first, last,
             static_cast<double>(first) / 90000.0, static_cast<double>(last) / 90000.0);
}

}  // namespace

// One write per line, so that lines of concurrent calls interleave whole.
void DiagnosticSink::write_line(const char* line, std::size_t length) const {
  if (target_ == Target::kNone) return;
  if (target_ == Target::kString) {
    lines_->append(line, length);
    return;
  }
  while (length > 0) {
    ssize_t written = ::write(STDOUT_FILENO, line, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    line += written;
    length -= static_cast<std::size_t>(written);
  }
}

void report_programme(const DiagnosticSink& sink, const ProgrammeStreams& streams) {
  char video[8] = "none", audio[8] = "none";
  if (streams.video) std::snprintf(video, sizeof video, "%u", unsigned{streams.video->pid});
  if (!streams.audio.empty()) std::snprintf(audio, sizeof audio, "%u", unsigned{streams.audio.front().stream.pid});
  write_line(sink, "Found PIDs - Video: %s, Audio: %s\n", video, audio);
  for (std::size_t i = 1; i < streams.audio.size(); ++i) {
    const AudioEntry& more = streams.audio[i];
    write_line(sink, "More audio - PID: %u (%s, stream_type 0x%02X, language %.3s)\n", unsigned{more.stream.pid},
               audio_codec_name(more.codec), unsigned{more.stream.stream_type}, more.language.data());
  }
  for (const LeftOutStream& left : streams.left_out) report_left_out(sink, left);
}

void report_left_out(const DiagnosticSink& sink, const LeftOutStream& left) {
  const unsigned pid = left.stream.pid, type = left.stream.stream_type;
  if (!left.why)
    write_line(sink, "Left out %s - PID: %u (%s, stream_type 0x%02X)\n", left.kind, pid, left.name, type);
  else if (left.name)
    write_line(sink, "Left out %s - PID: %u (%s, stream_type 0x%02X): %s\n", left.kind, pid, left.name, type, left.why);
  else
    write_line(sink, "Left out %s - PID: %u (stream_type 0x%02X): %s\n", left.kind, pid, type, left.why);
}

void report_totals(const DiagnosticSink& sink, const TsDemuxResult& result, const ScanTotals& t) {
  write_line(sink, "Total audio frames collected: %zu\n", result.audio_frames.size());
  write_line(sink, "Total video frames collected: %zu\n", t.video_pes);
  if (!result.audio_frames.empty() && t.first_audio_pts && t.last_audio_pts)
    report_range(sink, "Audio", *t.first_audio_pts, *t.last_audio_pts);
  if (t.video_pes > 0 && t.first_video_pts && t.last_video_pts)
    report_range(sink, "Video", *t.first_video_pts, *t.last_video_pts);
  if (!result.later_parameters.empty() || result.pictures_dropped_at_changes > 0)
    write_line(sink, "Parameter set changes: %zu, pictures left out before a key picture: %" PRIu64 "\n",
               result.later_parameters.size(), result.pictures_dropped_at_changes);
}

}  // namespace plexo::ts
