#include "mp4_parser/timeline_origin.hpp"

namespace plexo::mp4 {

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
  return rescale(time_, timescale_, timescale);
}

}  // namespace plexo::mp4
