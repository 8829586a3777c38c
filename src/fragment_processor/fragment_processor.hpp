// Rebases the decode times of live fragmented MP4 segments to zero, one segment at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/buffer.hpp"
#include "core/bytes.hpp"
#include "core/error.hpp"

namespace plexo::fragments {

class FragmentProcessor {
 public:
  // The base of the first track met since creation or the last reset.
  std::optional<std::uint64_t> base_decode_time() const;
  void set_init_segment(ByteView init);
  Result<Buffer> process_segment(ByteView segment);
  void reset();

 private:
  struct TrackBase {
    std::uint32_t track_id;
    std::uint64_t base;
  };
  std::vector<TrackBase> bases_;  // in the order the tracks were first met
  std::vector<std::uint8_t> init_segment_;
};

}  // namespace plexo::fragments
