// H.264 in one place: Annex B scanning (the one start-code scanner), access-unit boundaries
// and the decoder configuration record (avcC), for the demultiplexer, the MP4 writer and the
// thumbnails.
#pragma once

#include <algorithm>
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

// Finds the NAL units of an Annex B stream whose bytes arrive piece by piece and need not lie
// together in memory. `Stream` gives size(), at(pos) and find(byte, from, to) (the first
// position in [from, to) holding that byte, as std::optional). Each call to scan() looks at
// the bytes that arrived since the last one, finding the 0x01 of start codes with find (so
// long slice bodies are skipped at memory speed); a unit is handed over once the next start
// code has arrived, as (start code position, header byte position, end). A start code counts
// once its header byte has arrived; where a 3- and a 4-byte code both match the 4-byte form
// wins; zero bytes in front of the next start code beyond its own stay with the unit.
class StartCodeScanner {
 public:
  template <class Stream, class OnUnit>
  void scan(const Stream& es, OnUnit&& on_unit) {
    const std::uint64_t n = es.size();
    std::uint64_t from = std::max(search_from_, boundary_ + 2);
    for (;;) {
      auto q = es.find(0x01, from, n);
      if (!q) {
        from = std::max(from, n);
        break;
      }
      if (*q + 1 >= n) {  // the header byte has not arrived yet
        from = *q;
        break;
      }
      if (*q < boundary_ + 2 || es.at(*q - 1) != 0 || es.at(*q - 2) != 0) {
        from = *q + 1;
        continue;
      }
      std::uint64_t start = *q - 2;
      if (start > boundary_ && es.at(start - 1) == 0) --start;  // 00 00 00 01
      if (header_) on_unit(start_, *header_, start);
      start_ = start;
      header_ = *q + 1;
      boundary_ = *q + 2;
      from = *q + 4;
    }
    search_from_ = from;
  }

  // The first stream position it may still read: the unit being read, or where the search
  // goes on (a start code's zeros may lie up to three bytes before its 0x01).
  std::uint64_t unread_from() const {
    const std::uint64_t search = search_from_ >= 3 ? search_from_ - 3 : 0;
    return header_ ? std::min(start_, search) : search;
  }

  // At the end of the stream: the last unit runs to it. A start code without a header byte
  // is none.
  template <class Stream, class OnUnit>
  void finish(const Stream& es, OnUnit&& on_unit) {
    scan(es, on_unit);
    if (header_) on_unit(start_, *header_, es.size());
    header_.reset();
  }

 private:
  std::uint64_t search_from_ = 0;  // no 0x01 of a start code lies before this
  std::uint64_t boundary_ = 0;     // a 4-byte start code's zero must lie at or after this
  // The unit being read: its start code and header positions.
  std::uint64_t start_ = 0;
  std::optional<std::uint64_t> header_;
};

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
