// The demultiplexer's diagnostic lines, written to the process's standard output.
#pragma once

#include "ts_parser/demux_state.hpp"

namespace plexo::ts {

void report_programme(std::uint16_t video_pid, std::uint16_t audio_pid);
void report_totals(const TsDemuxResult& result, const ScanTotals& totals);

}  // namespace plexo::ts
