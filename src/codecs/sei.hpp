// Supplemental enhancement information: the message list an SEI NAL unit carries, whose
// syntax H.264 and HEVC share (payloadType and payloadSize each as a run of 0xFF bytes and a
// last byte, then the payload), and the messages a container needs from it.
#pragma once

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

}  // namespace plexo::sei
