// Key-frame thumbnails: the coded data of one picture as an Annex B byte stream.
#pragma once

#include "core/buffer.hpp"
#include "core/bytes.hpp"
#include "core/error.hpp"
#include "ts_parser/diagnostics.hpp"

namespace plexo::thumbnail {

// The transport stream is demultiplexed first; its diagnostic lines go to `diagnostics`.
Result<Buffer> thumbnail_from_ts(
    ByteView input, const ts::DiagnosticSink& diagnostics = ts::DiagnosticSink::standard_output());
Result<Buffer> thumbnail_from_mp4(ByteView input);

}  // namespace plexo::thumbnail
