#include "thumbnail/thumbnail.hpp"

namespace plexo::thumbnail {

Result<Buffer> thumbnail_from_ts(ByteView) {
  return fail("extract_thumbnail_from_ts is not available yet", ErrorCategory::kUnsupported);
}

Result<Buffer> thumbnail_from_mp4(ByteView) {
  return fail("extract_thumbnail_from_mp4 is not available yet", ErrorCategory::kUnsupported);
}

}  // namespace plexo::thumbnail
