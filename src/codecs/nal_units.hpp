// What H.264 and HEVC share as NAL-unit streams: the one start-code scanner of Annex B byte
// streams, and the removal of emulation-prevention bytes that turns a NAL unit into the RBSP
// its syntax is read from.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/bytes.hpp"

namespace plexo::nal {

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

// What the thumbnails and the probe need of a sample entry's decoder configuration record
// (avcC or hvcC): the width of each sample's NAL length fields, the parameter sets as stored
// (for H.264 SPS then PPS, for HEVC in the record's array order), and the profile.
struct DecoderConfiguration {
  std::size_t length_size = 4;
  std::vector<ByteView> parameter_sets;
  std::uint8_t profile_idc = 0;
  std::uint8_t constraints = 0;  // H.264: the constraint_set flags byte
};

// Reads `count` units, each behind a 16-bit length, as avcC and hvcC list their parameter
// sets, into `config` (empty ones left out); false when the record ends first.
inline bool read_length16_units(ByteReader& reader, std::size_t count, DecoderConfiguration& config) {
  for (std::size_t i = 0; i < count; ++i) {
    auto length = reader.read_u16();
    if (!length) return false;
    auto unit = reader.read_bytes(*length);
    if (!unit) return false;
    if (!unit->empty()) config.parameter_sets.push_back(*unit);
  }
  return true;
}

// The unit without its emulation-prevention bytes (00 00 03 becomes 00 00), so that fields
// that straddle one are read correctly.
inline std::vector<std::uint8_t> remove_emulation_prevention(ByteView nal) {
  std::vector<std::uint8_t> rbsp;
  rbsp.reserve(nal.size());
  int zeros = 0;
  for (std::uint8_t byte : nal) {
    if (zeros >= 2 && byte == 3) {
      zeros = 0;
      continue;
    }
    zeros = byte == 0 ? zeros + 1 : 0;
    rbsp.push_back(byte);
  }
  return rbsp;
}

}  // namespace plexo::nal
