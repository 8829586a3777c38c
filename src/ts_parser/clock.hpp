// The 33-bit MPEG system clock that PES timestamps count in (90 kHz): its wrap, the short way
// round between two values, and a follower that brings a sequence of values onto one
// continuous timeline.
#pragma once

#include <cstdint>

namespace plexo::ts {

inline constexpr std::uint64_t kClockWrap = std::uint64_t{1} << 33;

// The difference a − b of two 33-bit clock values, taken as the shortest way round the
// clock, so that a wrap between them does not count as 2^33 ticks.
inline std::int64_t clock_difference(std::uint64_t a, std::uint64_t b) {
  std::uint64_t d = (a - b) & (kClockWrap - 1);
  return d >= (kClockWrap >> 1) ? static_cast<std::int64_t>(d) - static_cast<std::int64_t>(kClockWrap)
                                : static_cast<std::int64_t>(d);
}

// Follows a sequence of clock values in stream order and returns each one unwrapped
// relative to the first.
class ClockUnwrapper {
 public:
  std::int64_t next(std::uint64_t raw) {
    raw &= kClockWrap - 1;
    if (!started_) {
      started_ = true;
      value_ = static_cast<std::int64_t>(raw);
    } else {
      value_ += clock_difference(raw, last_);
    }
    last_ = raw;
    return value_;
  }

 private:
  bool started_ = false;
  std::uint64_t last_ = 0;
  std::int64_t value_ = 0;
};

}  // namespace plexo::ts
