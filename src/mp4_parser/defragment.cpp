#include "mp4_parser/operations.hpp"

namespace plexo::mp4 {

Result<Buffer> defragment(ByteView) {
  return fail("defragment_mp4 is not available yet", ErrorCategory::kUnsupported);
}

}  // namespace plexo::mp4
