// Key-frame thumbnails: the coded data of one picture as an Annex B byte stream.
#pragma once

#include "core/buffer.hpp"
#include "core/bytes.hpp"
#include "core/error.hpp"

namespace plexo::thumbnail {

Result<Buffer> thumbnail_from_ts(ByteView input);
Result<Buffer> thumbnail_from_mp4(ByteView input);

}  // namespace plexo::thumbnail
