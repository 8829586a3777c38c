// The rates a sample entry states about its stream (the esds's DecoderConfigDescriptor, the
// btrt box): the decoding buffer a sample needs, the highest rate over any one second and the
// average rate over the track, measured from the samples themselves.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace plexo::mp4 {

struct StreamRates {
  std::uint32_t buffer_size = 0;      // bytes: the largest sample (24 bits in an esds)
  std::uint32_t max_bitrate = 0;      // bits per second
  std::uint32_t average_bitrate = 0;  // bits per second; 0 where the rate is not known
};

// Measures a track whose samples all last the same: fed each sample's size in order. The
// highest rate is that of the busiest run of one second's worth of consecutive samples (the
// whole track when it is shorter), so a constant-rate stream's highest rate is its average.
class RateMeter {
 public:
  // Samples of `duration` ticks of `timescale` each (both at least 1).
  RateMeter(std::uint32_t duration, std::uint32_t timescale)
      : duration_(std::max<std::uint32_t>(duration, 1)), timescale_(std::max<std::uint32_t>(timescale, 1)) {
    // A second's worth of samples, at least one; bounded whatever the timing says.
    constexpr std::uint64_t kMaxWindow = 4096;
    const std::uint64_t window = (std::uint64_t{timescale_} + duration_ / 2) / duration_;
    window_.resize(static_cast<std::size_t>(std::clamp<std::uint64_t>(window, 1, kMaxWindow)));
  }

  void add(std::uint32_t size) {
    std::uint32_t& slot = window_[static_cast<std::size_t>(count_ % window_.size())];
    if (count_ >= window_.size()) in_window_ -= slot;
    slot = size;
    in_window_ += size;
    ++count_;
    total_ += size;
    largest_ = std::max(largest_, size);
    if (count_ >= window_.size()) busiest_ = std::max(busiest_, in_window_);
  }

  StreamRates rates() const {
    if (count_ == 0) return {};
    StreamRates rates;
    rates.buffer_size = std::min<std::uint32_t>(largest_, 0xFFFFFF);
    rates.average_bitrate = rate(total_, count_);
    const bool full = count_ >= window_.size();
    rates.max_bitrate = std::max(rates.average_bitrate, full ? rate(busiest_, window_.size()) : rates.average_bitrate);
    return rates;
  }

 private:
  // Bits per second of `bytes` over `samples` samples, rounded, at most 2^32 - 1.
  std::uint32_t rate(std::uint64_t bytes, std::uint64_t samples) const {
    const unsigned __int128 bits = static_cast<unsigned __int128>(bytes) * 8 * timescale_;
    const unsigned __int128 span = static_cast<unsigned __int128>(samples) * duration_;
    const unsigned __int128 value = (bits + span / 2) / span;
    return value > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(value);
  }

  std::uint32_t duration_, timescale_;
  std::vector<std::uint32_t> window_;  // the sizes of the last window_.size() samples, by count
  std::uint64_t count_ = 0;
  std::uint64_t total_ = 0;
  std::uint64_t in_window_ = 0;
  std::uint64_t busiest_ = 0;
  std::uint32_t largest_ = 0;
};

}  // namespace plexo::mp4
