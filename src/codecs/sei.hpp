// Supplemental enhancement information: the message list an SEI NAL unit carries, whose
// syntax H.264 and HEVC share (payloadType and payloadSize each as a run of 0xFF bytes and a
// last byte, then the payload), and the messages a container needs from it: the recovery
// point, and the static HDR metadata (the mastering display's colour volume, payload type 137,
// and the content light levels, payload type 144).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "codecs/bit_reader.hpp"
#include "codecs/nal_units.hpp"
#include "core/bytes.hpp"

namespace plexo::sei {

inline constexpr std::uint32_t kRecoveryPoint = 6;

// Calls `on_message(type, payload)` for each message of an SEI RBSP (the NAL header left out,
// emulation-prevention bytes removed), in order, until one returns true, the list ends
// (rbsp_trailing_bits) or a message is cut short: a payload is never read past `rbsp`.
template <class OnMessage>
void for_each_message(ByteView rbsp, OnMessage&& on_message) {
  std::size_t at = 0;
  auto read_value = [&](std::uint32_t& value) {
    value = 0;
    for (; at < rbsp.size() && rbsp[at] == 0xFF; ++at) value += 0xFF;  // at most 255 per byte read
    if (at >= rbsp.size()) return false;
    value += rbsp[at++];
    return true;
  };
  // A message begins wherever more than the trailing bits (0x80) remains.
  while (at + 1 < rbsp.size() || (at < rbsp.size() && rbsp[at] != 0x80)) {
    std::uint32_t type = 0, size = 0;
    if (!read_value(type) || !read_value(size) || size > rbsp.size() - at) return;
    if (on_message(type, rbsp.subspan(at, size))) return;
    at += size;
  }
}

// The recovery_frame_cnt of the recovery-point message of an SEI NAL unit (header of
// `header_size` bytes first): the picture it travels with begins a recovery point, from which
// pictures decode correctly after that many frames. Nothing when the unit carries no such
// message or it cannot be read.
inline std::optional<std::uint32_t> recovery_frame_count(ByteView nal, std::size_t header_size) {
  if (nal.size() <= header_size) return std::nullopt;
  const std::vector<std::uint8_t> rbsp = nal::remove_emulation_prevention(nal.subspan(header_size));
  std::optional<std::uint32_t> count;
  for_each_message(ByteView(rbsp.data(), rbsp.size()), [&](std::uint32_t type, ByteView payload) {
    if (type != kRecoveryPoint) return false;
    BitReader reader(payload);
    count = reader.read_ue();
    return true;
  });
  return count;
}

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

// Reads the HDR messages of an SEI RBSP (emulation-prevention bytes removed, NAL header left
// out) into `out`, keeping what it already holds: the first of each kind wins. A payload too
// short for its fields is passed over; nothing is read beyond `rbsp`.
inline void read_hdr_messages(ByteView rbsp, HdrMetadata& out) {
  for_each_message(rbsp, [&out](std::uint32_t type, ByteView payload) {
    ByteReader fields(payload);
    if (type == kMasteringDisplayColourVolume && !out.mastering_display && payload.size() >= MasteringDisplay::kSize) {
      MasteringDisplay display;
      for (auto& value : display.primaries) value = *fields.read_u16();
      display.white_x = *fields.read_u16();
      display.white_y = *fields.read_u16();
      display.max_luminance = *fields.read_u32();
      display.min_luminance = *fields.read_u32();
      out.mastering_display = display;
    } else if (type == kContentLightLevel && !out.content_light_level && payload.size() >= ContentLightLevel::kSize) {
      ContentLightLevel level;
      level.max_content = *fields.read_u16();
      level.max_average = *fields.read_u16();
      out.content_light_level = level;
    }
    return out.complete();
  });
}

}  // namespace plexo::sei
