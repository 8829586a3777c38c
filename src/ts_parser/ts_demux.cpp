#include "ts_parser/ts_demux.hpp"

#include <cstring>

namespace plexo::ts {

Result<TsDemuxResult> demux_ts(ByteView input) {
  if (input.empty() || !std::memchr(input.data(), 0x47, input.size()))
    return fail("No valid TS sync byte found");
  return TsDemuxResult{};
}

PesTimestamps read_pes_header(ByteView) { return {}; }

}  // namespace plexo::ts
