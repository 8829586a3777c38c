#include "mp4_parser/timeline_origin.hpp"

namespace plexo::mp4 {
namespace {

using u128 = unsigned __int128;

constexpr std::uint64_t saturate(u128 v) {
  return v > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(v);
}

}  // namespace

void TimelineOrigin::offer(std::uint64_t decode_time, std::uint32_t timescale) {
  if (timescale == 0) return;
  // decode_time / timescale < time_ / timescale_, cross-multiplied (no product exceeds 96 bits).
  if (empty() || u128{decode_time} * timescale_ < u128{time_} * timescale) {
    time_ = decode_time;
    timescale_ = timescale;
  }
}

std::uint64_t TimelineOrigin::in(std::uint32_t timescale) const {
  if (empty() || timescale == 0) return 0;
  if (timescale == timescale_) return time_;
  return saturate(u128{time_} * timescale / timescale_);
}

std::uint64_t rescale_up(std::uint64_t length, std::uint32_t from, std::uint32_t to) {
  if (from == 0 || to == 0) return 0;
  if (from == to) return length;
  return saturate((u128{length} * to + from - 1) / from);
}

}  // namespace plexo::mp4
