// Arithmetic on times counted in ticks of a timescale (ticks per second): conversion between
// timescales and sums that stop at the largest value instead of wrapping. Products are taken
// in 128 bits, so no realistic time overflows on the way.
#pragma once

#include <cstdint>
#include <limits>

namespace plexo {

using u128 = unsigned __int128;

inline constexpr std::uint64_t kMaxTime = std::numeric_limits<std::uint64_t>::max();

constexpr std::uint64_t saturate(u128 value) {
  return value > kMaxTime ? kMaxTime : static_cast<std::uint64_t>(value);
}

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > kMaxTime - b ? kMaxTime : a + b;
}

// `ticks` of timescale `from` in timescale `to`, rounded down; unchanged when `from` is 0 or
// equals `to`.
constexpr std::uint64_t rescale(std::uint64_t ticks, std::uint64_t from, std::uint64_t to) {
  if (from == 0 || from == to) return ticks;
  return saturate(u128{ticks} * to / from);
}

// The same rounded up, for lengths that must cover the whole of what they measure; 0 when
// either timescale is 0.
constexpr std::uint64_t rescale_up(std::uint64_t ticks, std::uint64_t from, std::uint64_t to) {
  if (from == 0 || to == 0) return 0;
  if (from == to) return ticks;
  return saturate((u128{ticks} * to + from - 1) / from);
}

// `ticks`, signed, of timescale `from` in timescale `to`, rounded to the nearest tick (half
// away from zero) and held within 64 bits; unchanged when `from` is 0 or equals `to`.
constexpr std::int64_t rescale_nearest(std::int64_t ticks, std::uint64_t from, std::uint64_t to) {
  if (from == 0 || from == to) return ticks;
  const __int128 scaled = static_cast<__int128>(ticks) * static_cast<__int128>(to);
  const auto divisor = static_cast<__int128>(from);
  const __int128 half = divisor / 2;
  const __int128 nearest = scaled >= 0 ? (scaled + half) / divisor : (scaled - half) / divisor;
  constexpr __int128 kLowest = std::numeric_limits<std::int64_t>::min();
  constexpr __int128 kHighest = std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(nearest < kLowest ? kLowest : nearest > kHighest ? kHighest : nearest);
}

}  // namespace plexo
