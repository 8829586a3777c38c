// Annex B scanning shared by the demultiplexer, the MP4 writer and the thumbnails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "core/bit_reader.hpp"
#include "core/bytes.hpp"

namespace plexo::h264 {

enum NalType : std::uint8_t {
  kNonIdrSlice = 1,
  kSliceDataA = 2,
  kIdrSlice = 5,
  kSei = 6,
  kSps = 7,
  kPps = 8,
  kAccessUnitDelimiter = 9,
};

inline std::uint8_t nal_type(std::uint8_t header_byte) { return header_byte & 0x1F; }
inline bool is_vcl(std::uint8_t type) { return type >= 1 && type <= 5; }

struct StartCode {
  std::size_t position;  // first byte of the start code
  std::size_t length;    // 3 (00 00 01) or 4 (00 00 00 01)
};

// The earliest start code at or after `from`; where a 3- and a 4-byte code both match at one
// position the 4-byte form wins. Looks for the 0x01 byte with memchr, so long slice bodies
// are skipped at memory speed.
inline std::optional<StartCode> find_start_code(ByteView v, std::size_t from) {
  const std::size_t n = v.size();
  std::size_t q = from + 2;  // candidate position of the 0x01 byte
  while (q < n) {
    const void* hit = std::memchr(v.data() + q, 0x01, n - q);
    if (!hit) return std::nullopt;
    q = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - v.data());
    if (v[q - 1] == 0 && v[q - 2] == 0) {
      std::size_t p = q - 2;
      if (p > from && v[p - 1] == 0) return StartCode{p - 1, 4};
      return StartCode{p, 3};
    }
    ++q;
  }
  return std::nullopt;
}

// first_mb_in_slice of a slice NAL unit (header byte first); nullopt when unreadable.
inline std::optional<std::uint32_t> first_mb_in_slice(ByteView nal) {
  if (nal.size() < 2) return std::nullopt;
  BitReader reader(nal.subspan(1));
  return reader.read_ue();
}

// Whether a NAL unit opens a new access unit, given whether the access unit collected so far
// already holds a slice. A delimiter, SEI, parameter set or types 14 to 18 after a slice open
// one, and so does a slice whose first_mb_in_slice is 0 (the first slice of the next picture).
inline bool opens_access_unit(ByteView nal, bool unit_has_slice) {
  if (!unit_has_slice || nal.empty()) return false;
  std::uint8_t type = nal_type(nal[0]);
  if (type == kAccessUnitDelimiter || type == kSei || type == kSps || type == kPps ||
      (type >= 14 && type <= 18))
    return true;
  if (type == kNonIdrSlice || type == kIdrSlice || type == kSliceDataA) {
    auto first_mb = first_mb_in_slice(nal);
    return first_mb && *first_mb == 0;
  }
  return false;
}

}  // namespace plexo::h264
