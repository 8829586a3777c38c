// H.264 in one place: Annex B scanning (the one NAL-unit iterator), access-unit boundaries
// and the decoder configuration record (avcC), for the demultiplexer, the MP4 writer and the
// thumbnails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "core/bit_reader.hpp"
#include "core/buffer.hpp"
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

// One NAL unit of an Annex B stream: its start code, its header byte and its end (exclusive).
struct NalUnit {
  std::size_t start = 0;   // first byte of the start code
  std::size_t header = 0;  // the NAL header byte
  std::size_t end = 0;
  ByteView bytes(ByteView es) const { return es.subspan(header, end - header); }
  ByteView with_start_code(ByteView es) const { return es.subspan(start, end - start); }
};

// Where a unit ends when a start code lies in the stream's last three bytes (a start code
// with nothing after it).
enum class TrailingStartCode : std::uint8_t {
  kEndsUnit,     // the unit ends before it, like before any start code
  kPartOfUnit,   // it is not recognised and stays in the unit (the sample framing's rule)
};

// The unit whose start code is the first one at or after `from` that has a header byte. A
// unit runs to the next start code; zero bytes in front of that start code beyond its own
// stay with the unit.
inline std::optional<NalUnit> next_nal_unit(ByteView es, std::size_t from,
                                            TrailingStartCode trailing = TrailingStartCode::kEndsUnit) {
  auto code = find_start_code(es, from);
  if (!code) return std::nullopt;
  const std::size_t header = code->position + code->length;
  if (header >= es.size()) return std::nullopt;
  NalUnit unit{code->position, header, es.size()};
  if (auto next = find_start_code(es, header + 1)) {
    if (trailing == TrailingStartCode::kEndsUnit || next->position + 3 < es.size())
      unit.end = next->position;
  }
  return unit;
}

// The decoder configuration record (avcC payload) as the thumbnails need it.
struct DecoderConfiguration {
  std::size_t length_size = 4;            // width of each sample's NAL length fields
  std::vector<ByteView> parameter_sets;   // SPS units, then PPS units, as stored
};

// Nothing when the record is cut short or names a length size H.264 does not allow (3).
inline std::optional<DecoderConfiguration> read_decoder_configuration(ByteView payload) {
  ByteReader reader(payload);
  if (!reader.skip(4)) return std::nullopt;  // version, profile, compatibility, level
  auto length_size_byte = reader.read_u8();
  if (!length_size_byte) return std::nullopt;
  DecoderConfiguration config;
  config.length_size = (*length_size_byte & 0x03) + 1;
  if (config.length_size == 3) return std::nullopt;
  for (int kind = 0; kind < 2; ++kind) {  // SPS, then PPS
    auto count = reader.read_u8();
    if (!count) return std::nullopt;
    const std::size_t units = kind == 0 ? (*count & 0x1F) : *count;
    for (std::size_t i = 0; i < units; ++i) {
      auto length = reader.read_u16();
      if (!length) return std::nullopt;
      auto unit = reader.read_bytes(*length);
      if (!unit) return std::nullopt;
      if (!unit->empty()) config.parameter_sets.push_back(*unit);
    }
  }
  return config;
}

// Writes a decoder configuration record with 4-byte NAL lengths, one SPS and one PPS (each
// at most 0xFFFF bytes). A parameter set too short to name its profile is described as High
// profile, level 3.1.
inline void put_decoder_configuration(Buffer& out, ByteView sps, ByteView pps) {
  constexpr std::uint8_t kHighProfile = 100;
  constexpr std::uint8_t kLevel31 = 31;
  out.put_u8(1);  // configurationVersion
  if (sps.size() > 3) {
    out.put_u8(sps[1]);
    out.put_u8(sps[2]);
    out.put_u8(sps[3]);
  } else {
    out.put_u8(kHighProfile);
    out.put_u8(0);
    out.put_u8(kLevel31);
  }
  out.put_u8(0xFF);  // lengthSizeMinusOne 3
  out.put_u8(0xE1);  // one SPS
  out.put_u16(static_cast<std::uint16_t>(sps.size()));
  out.put(sps);
  out.put_u8(1);
  out.put_u16(static_cast<std::uint16_t>(pps.size()));
  out.put(pps);
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
