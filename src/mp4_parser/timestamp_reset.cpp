#include "mp4_parser/operations.hpp"

namespace plexo::mp4 {

Result<Buffer> reset_timeline(ByteView) {
  return fail("reset_mp4_timestamps is not available yet", ErrorCategory::kUnsupported);
}

Result<Buffer> defragment_or_reset(ByteView) {
  return fail("convert_mp4_reset_timestamps is not available yet", ErrorCategory::kUnsupported);
}

}  // namespace plexo::mp4
