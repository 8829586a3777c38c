#include "fragment_processor/fragment_processor.hpp"

namespace plexo::fragments {

std::optional<std::uint64_t> FragmentProcessor::base_decode_time() const {
  if (bases_.empty()) return std::nullopt;
  return bases_.front().base;
}

void FragmentProcessor::set_init_segment(ByteView init) {
  init_segment_.assign(init.begin(), init.end());
}

Result<Buffer> FragmentProcessor::process_segment(ByteView) {
  return fail("FragmentedMP4Processor.process_segment is not available yet",
              ErrorCategory::kUnsupported);
}

void FragmentProcessor::reset() { bases_.clear(); }

}  // namespace plexo::fragments
