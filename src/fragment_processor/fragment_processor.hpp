// Rebases the decode times of live fragmented MP4 segments to zero, one segment at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/buffer.hpp"
#include "core/bytes.hpp"
#include "core/error.hpp"
#include "fragment_processor/track_bases.hpp"
#include "mp4_parser/box_cursor.hpp"

namespace plexo::segments {

class FragmentProcessor {
 public:
  // The base of the first track met since creation or the last reset.
  std::optional<std::uint64_t> base_decode_time() const;
  void set_init_segment(ByteView init);
  Result<Buffer> process_segment(ByteView segment);
  void reset();

 private:
  Status copy_moof(ByteView moof, Buffer& out);
  Status copy_traf(ByteView traf, Buffer& out);
  void rebase_tfdt(const mp4::Box& tfdt, ByteView bytes, TrackKey track, Buffer& out);

  TrackBases bases_;
  std::vector<std::uint8_t> init_segment_;  // kept for the caller; segments never need it
};

}  // namespace plexo::segments
