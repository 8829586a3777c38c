// Finding packet starts: the sync byte and the packet stride (188, 192 or 204 bytes).
#pragma once

#include <cstddef>
#include <optional>

#include "core/bytes.hpp"

namespace plexo::ts {

inline constexpr std::uint8_t kSyncByte = 0x47;
inline constexpr std::size_t kPacketSize = 188;

struct SyncPoint {
  std::size_t position;
  std::size_t stride;  // distance to the next packet's sync byte
};

// The first sync byte at or after `from` that the following sync bytes confirm (at a distance
// of 188, 192 or 204 bytes); a packet too close to the end to be confirmed is accepted when it
// is complete. When re-synchronising, the stride already locked is tried first over the next
// few packets, so a stray sync byte that another stride happens to confirm is passed over.
// nullopt when there is none.
std::optional<SyncPoint> find_confirmed_sync(ByteView input, std::size_t from,
                                             std::optional<std::size_t> locked_stride = {});

// Whether `input` opens with transport-stream packets: a sync byte at its start (or after a
// 4-byte packet prefix) and again one packet later, or at the end of the input.
bool opens_as_transport_stream(ByteView input);

// Whether the packet at `pos` belongs to the locked stream: its own sync byte, and one of the
// next two packets' (a single corrupted packet after it does not cost it), unless it is the
// last complete packet.
bool continues_stream(ByteView input, std::size_t pos, std::size_t stride);

// The same two decisions for a stream that arrives in pieces, over the bytes received so far
// (more may follow): a decision that needs bytes not there yet is put off, and taken, once
// they are, exactly as over the whole stream.
struct PartialSync {
  std::optional<SyncPoint> found;
  bool wait = false;  // nothing decided: call again, from the same place, with more bytes
};
PartialSync find_confirmed_sync_so_far(ByteView received, std::size_t from,
                                       std::optional<std::size_t> locked_stride = {});
// Nothing when it cannot be told yet.
std::optional<bool> continues_stream_so_far(ByteView received, std::size_t pos, std::size_t stride);

}  // namespace plexo::ts
