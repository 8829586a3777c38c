#include "ts_parser/packet_sync.hpp"

#include <algorithm>
#include <cstring>

namespace plexo::ts {
namespace {

// 188 is plain transport stream; 192 carries a 4-byte timecode before each packet (M2TS),
// 204 a 16-byte Reed-Solomon parity after it.
constexpr std::size_t kStrides[] = {188, 192, 204};

// How far a re-synchronisation looks for the locked stride before it accepts any stride.
constexpr std::size_t kLockedStrideWindow = 4 * 204;

bool sync_at(ByteView input, std::size_t pos) { return pos < input.size() && input[pos] == kSyncByte; }

// A stride is confirmed by the sync bytes of the next two packets, or of as many as the input
// still holds.
bool stride_confirmed(ByteView input, std::size_t pos, std::size_t stride) {
  const std::size_t n = input.size();
  const bool next_fits = pos + stride + kPacketSize <= n;
  const bool second_fits = pos + 2 * stride + kPacketSize <= n;
  return next_fits && sync_at(input, pos + stride) &&
         (!second_fits || sync_at(input, pos + 2 * stride));
}

// The last packet of the input has no successor to confirm it.
bool last_packet(ByteView input, std::size_t pos) {
  const std::size_t left = input.size() - pos;
  return left >= kPacketSize && left <= kStrides[2];
}

std::optional<std::size_t> confirmed_stride(ByteView input, std::size_t pos) {
  if (input.size() - pos < kPacketSize) return std::nullopt;
  for (std::size_t stride : kStrides)
    if (stride_confirmed(input, pos, stride)) return stride;
  if (last_packet(input, pos)) return kStrides[0];
  return std::nullopt;
}

std::optional<std::size_t> next_sync_byte(ByteView input, std::size_t from, std::size_t end) {
  if (from >= end) return std::nullopt;
  const void* hit = std::memchr(input.data() + from, kSyncByte, end - from);
  if (!hit) return std::nullopt;
  return static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - input.data());
}

// Every byte a decision about the packet at `pos` may look at, counted from `pos`.
constexpr std::size_t kDecisionReach = 2 * kStrides[2] + kPacketSize;

// Over a stream received so far (`partial`), a search stops at the first candidate whose
// decision needs bytes not there yet and asks for more.
PartialSync search(ByteView input, std::size_t from, std::optional<std::size_t> locked_stride, bool partial) {
  const std::size_t n = input.size();
  auto undecided = [&](std::size_t pos) { return partial && n - std::min(n, pos) < kDecisionReach; };
  if (locked_stride) {
    if (partial && n - std::min(n, from) < kLockedStrideWindow + kDecisionReach) return {std::nullopt, true};
    const std::size_t end = std::min(n, from + kLockedStrideWindow);
    for (auto pos = next_sync_byte(input, from, end); pos; pos = next_sync_byte(input, *pos + 1, end))
      if (stride_confirmed(input, *pos, *locked_stride) || last_packet(input, *pos))
        return {SyncPoint{*pos, *locked_stride}, false};
  }
  for (auto pos = next_sync_byte(input, from, n); pos; pos = next_sync_byte(input, *pos + 1, n)) {
    if (undecided(*pos)) return {std::nullopt, true};
    if (auto stride = confirmed_stride(input, *pos)) return {SyncPoint{*pos, *stride}, false};
  }
  return {};
}

}  // namespace

std::optional<SyncPoint> find_confirmed_sync(ByteView input, std::size_t from,
                                             std::optional<std::size_t> locked_stride) {
  return search(input, from, locked_stride, false).found;
}

PartialSync find_confirmed_sync_so_far(ByteView received, std::size_t from,
                                       std::optional<std::size_t> locked_stride) {
  return search(received, from, locked_stride, true);
}

std::optional<bool> continues_stream_so_far(ByteView received, std::size_t pos, std::size_t stride) {
  if (received.size() - std::min(received.size(), pos) < kDecisionReach) return std::nullopt;
  return continues_stream(received, pos, stride);
}

bool opens_as_transport_stream(ByteView input) {
  for (std::size_t start : {0, 4}) {
    if (!sync_at(input, start)) continue;
    for (std::size_t stride : kStrides)
      if (input.size() <= start + stride || input[start + stride] == kSyncByte) return true;
  }
  return false;
}

bool continues_stream(ByteView input, std::size_t pos, std::size_t stride) {
  const std::size_t n = input.size();
  if (pos >= n || n - pos < kPacketSize || input[pos] != kSyncByte) return false;
  if (pos + stride + kPacketSize > n) return true;
  return sync_at(input, pos + stride) ||
         (pos + 2 * stride + kPacketSize <= n && sync_at(input, pos + 2 * stride));
}

}  // namespace plexo::ts
