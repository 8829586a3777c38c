#include "ts_parser/diagnostics.hpp"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace plexo::ts {
namespace {

// One write per line, so that lines of concurrent calls interleave whole.
__attribute__((format(printf, 1, 2))) void write_line(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length <= 0) return;
  std::size_t remaining = std::min<std::size_t>(static_cast<std::size_t>(length), sizeof line - 1);
  const char* next = line;
  while (remaining > 0) {
    ssize_t written = ::write(STDOUT_FILENO, next, remaining);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    next += written;
    remaining -= static_cast<std::size_t>(written);
  }
}

void report_range(const char* label, std::uint64_t first, std::uint64_t last) {
  write_line("%s PTS range: %" PRIu64 " - %" PRIu64 " (%.2f - %.2f sec)\n", label, first, last,
             static_cast<double>(first) / 90000.0, static_cast<double>(last) / 90000.0);
}

}  // namespace

void report_programme(std::uint16_t video_pid, std::uint16_t audio_pid) {
  write_line("Found PIDs - Video: %u, Audio: %u\n", unsigned{video_pid}, unsigned{audio_pid});
}

void report_totals(const TsDemuxResult& result, const ScanTotals& t) {
  write_line("Total audio frames collected: %zu\n", result.audio_frames.size());
  write_line("Total video frames collected: %zu\n", t.video_pes);
  if (!result.audio_frames.empty() && t.first_audio_pts && t.last_audio_pts)
    report_range("Audio", *t.first_audio_pts, *t.last_audio_pts);
  if (t.video_pes > 0 && t.first_video_pts && t.last_video_pts)
    report_range("Video", *t.first_video_pts, *t.last_video_pts);
}

}  // namespace plexo::ts
