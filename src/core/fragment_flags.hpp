// Flags of movie fragment boxes and of samples, shared by every reader of fragments.
#pragma once

#include <cstdint>

namespace plexo::fragment_flags {

// Track fragment header (tfhd) flags.
inline constexpr std::uint32_t kBaseDataOffsetPresent = 0x000001;
inline constexpr std::uint32_t kSampleDescriptionIndexPresent = 0x000002;
inline constexpr std::uint32_t kDefaultDurationPresent = 0x000008;
inline constexpr std::uint32_t kDefaultSizePresent = 0x000010;
inline constexpr std::uint32_t kDefaultFlagsPresent = 0x000020;
inline constexpr std::uint32_t kDefaultBaseIsMoof = 0x020000;

// Track run (trun) flags.
inline constexpr std::uint32_t kDataOffsetPresent = 0x000001;
inline constexpr std::uint32_t kFirstSampleFlagsPresent = 0x000004;
inline constexpr std::uint32_t kDurationPresent = 0x000100;
inline constexpr std::uint32_t kSizePresent = 0x000200;
inline constexpr std::uint32_t kFlagsPresent = 0x000400;
inline constexpr std::uint32_t kCompositionOffsetPresent = 0x000800;

// Sample flags.
inline constexpr std::uint32_t kSampleIsNonSync = 0x00010000;
inline constexpr std::uint32_t kSampleDependsOnMask = 0x03000000;
inline constexpr std::uint32_t kSampleDependsOnOthers = 0x01000000;

// A sync sample neither says it is non-sync nor that it depends on other samples.
inline constexpr bool is_sync_sample(std::uint32_t flags) {
  return (flags & kSampleIsNonSync) == 0 &&
         (flags & kSampleDependsOnMask) != kSampleDependsOnOthers;
}

}  // namespace plexo::fragment_flags
