#include "ts_parser/demux_state.hpp"

namespace plexo::ts {
namespace {

constexpr std::uint8_t kPtsPresent = 0x80;
constexpr std::uint8_t kPtsAndDtsPresent = 0xC0;

bool begins_pes(ByteView payload) {
  return payload.size() >= 3 && payload[0] == 0 && payload[1] == 0 && payload[2] == 1;
}

// A 33-bit timestamp spread over five bytes around marker bits.
std::uint64_t read_timestamp(ByteView b) {
  return (std::uint64_t{(b[0] >> 1) & 0x07u} << 30) | (std::uint64_t{b[1]} << 22) |
         (std::uint64_t(b[2] >> 1) << 15) | (std::uint64_t{b[3]} << 7) | (b[4] >> 1);
}

}  // namespace

PesTimestamps read_pes_header(ByteView payload) {
  PesTimestamps times;
  if (!begins_pes(payload) || payload.size() < 9) return times;
  const std::size_t header_length = payload[8];
  if (payload.size() < 9 + header_length) return times;
  const std::uint8_t flags = payload[7];
  if ((flags & kPtsPresent) && header_length >= 5) times.pts = read_timestamp(payload.subspan(9, 5));
  if (flags >= kPtsAndDtsPresent && header_length >= 10)
    times.dts = read_timestamp(payload.subspan(14, 5));
  return times;
}

std::optional<std::size_t> pes_data_offset(ByteView payload) {
  if (!begins_pes(payload) || payload.size() < 9) return std::nullopt;
  const std::size_t start = 9 + std::size_t{payload[8]};
  if (start >= payload.size()) return std::nullopt;
  return start;
}

}  // namespace plexo::ts
