// The static HDR metadata that H.264 and HEVC streams carry in SEI messages: the mastering
// display's colour volume (payload type 137) and the content light levels (payload type 144).
// Both codecs frame SEI messages alike (a type and a size, each a run of 0xFF bytes and a
// last byte), so one reader serves both.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/bytes.hpp"

namespace plexo::sei {

inline constexpr std::uint32_t kMasteringDisplayColourVolume = 137;
inline constexpr std::uint32_t kContentLightLevel = 144;

// In the message's order: the x and y of its three primaries (green, blue, red in the HEVC
// convention) and of the white point in units of 0.00002, luminances in units of 0.0001 cd/m².
struct MasteringDisplay {
  static constexpr std::size_t kSize = 24;
  std::array<std::uint16_t, 6> primaries{};
  std::uint16_t white_x = 0;
  std::uint16_t white_y = 0;
  std::uint32_t max_luminance = 0;
  std::uint32_t min_luminance = 0;
};

// cd/m².
struct ContentLightLevel {
  static constexpr std::size_t kSize = 4;
  std::uint16_t max_content = 0;
  std::uint16_t max_average = 0;
};

struct HdrMetadata {
  std::optional<MasteringDisplay> mastering_display;
  std::optional<ContentLightLevel> content_light_level;

  bool complete() const { return mastering_display && content_light_level; }
};

// Reads the SEI messages of an RBSP (emulation-prevention bytes removed, NAL header left
// out) into `out`, keeping what it already holds: the first of each kind wins. A message
// that claims more bytes than remain, or a payload too short for its fields, ends or is
// passed over; nothing is read beyond `rbsp`.
inline void read_hdr_messages(ByteView rbsp, HdrMetadata& out) {
  ByteReader in(rbsp);
  auto read_number = [&in]() -> std::optional<std::uint32_t> {
    std::uint32_t value = 0;
    for (;;) {
      auto byte = in.read_u8();
      if (!byte) return std::nullopt;
      value += *byte;
      if (*byte != 0xFF) return value;
    }
  };
  // A message needs at least its type, its size and rbsp_trailing_bits after it.
  while (in.remaining() >= 2) {
    auto type = read_number();
    auto size = type ? read_number() : std::nullopt;
    if (!size) return;
    auto payload = in.read_bytes(*size);
    if (!payload) return;
    ByteReader fields(*payload);
    if (*type == kMasteringDisplayColourVolume && !out.mastering_display && payload->size() >= MasteringDisplay::kSize) {
      MasteringDisplay display;
      for (auto& value : display.primaries) value = *fields.read_u16();
      display.white_x = *fields.read_u16();
      display.white_y = *fields.read_u16();
      display.max_luminance = *fields.read_u32();
      display.min_luminance = *fields.read_u32();
      out.mastering_display = display;
    } else if (*type == kContentLightLevel && !out.content_light_level && payload->size() >= ContentLightLevel::kSize) {
      ContentLightLevel level;
      level.max_content = *fields.read_u16();
      level.max_average = *fields.read_u16();
      out.content_light_level = level;
    }
  }
}

}  // namespace plexo::sei
