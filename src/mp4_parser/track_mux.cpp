#include "mp4_parser/operations.hpp"

namespace plexo::mp4 {

Result<Buffer> mux_tracks(ByteView, ByteView) {
  return fail("mux_fmp4_tracks is not available yet", ErrorCategory::kUnsupported);
}

}  // namespace plexo::mp4
