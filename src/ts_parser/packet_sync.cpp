#include "ts_parser/packet_sync.hpp"

#include <cstring>

namespace plexo::ts {
namespace {

// 188 is plain transport stream; 192 carries a 4-byte timecode before each packet (M2TS),
// 204 a 16-byte Reed-Solomon parity after it.
constexpr std::size_t kStrides[] = {188, 192, 204};

bool sync_at(ByteView input, std::size_t pos) { return pos < input.size() && input[pos] == kSyncByte; }

// A stride is confirmed by the sync bytes of the next two packets, or of as many as the input
// still holds.
std::optional<std::size_t> confirmed_stride(ByteView input, std::size_t pos) {
  const std::size_t n = input.size();
  if (n - pos < kPacketSize) return std::nullopt;
  for (std::size_t stride : kStrides) {
    const bool next_fits = pos + stride + kPacketSize <= n;
    const bool second_fits = pos + 2 * stride + kPacketSize <= n;
    if (next_fits && sync_at(input, pos + stride) &&
        (!second_fits || sync_at(input, pos + 2 * stride)))
      return stride;
  }
  // The last packet of the input has no successor to confirm it.
  if (n - pos <= kStrides[2]) return kStrides[0];
  return std::nullopt;
}

}  // namespace

std::optional<SyncPoint> find_confirmed_sync(ByteView input, std::size_t from) {
  const std::size_t n = input.size();
  while (from < n) {
    const void* hit = std::memchr(input.data() + from, kSyncByte, n - from);
    if (!hit) return std::nullopt;
    const std::size_t pos =
        static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - input.data());
    if (auto stride = confirmed_stride(input, pos)) return SyncPoint{pos, *stride};
    from = pos + 1;
  }
  return std::nullopt;
}

}  // namespace plexo::ts
