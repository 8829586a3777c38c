// Most-significant-bit-first reader for codec headers: AC-3 syncframes, and the parameter sets
// and slice headers of H.264 and HEVC (their RBSP, emulation-prevention bytes removed: see
// codecs/nal_units.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/bytes.hpp"

namespace plexo {

class BitReader {
 public:
  explicit BitReader(ByteView data) : data_(data) {}

  std::optional<std::uint32_t> read_bit() {
    if (byte_ >= data_.size()) return std::nullopt;
    std::uint32_t bit = (data_[byte_] >> (7 - bit_)) & 1u;
    if (++bit_ == 8) {
      bit_ = 0;
      ++byte_;
    }
    return bit;
  }

  std::optional<std::uint32_t> read_bits(int count) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
      auto bit = read_bit();
      if (!bit) return std::nullopt;
      value = (value << 1) | *bit;
    }
    return value;
  }

  // Unsigned Exp-Golomb. Codes with 32 or more leading zero bits are refused.
  std::optional<std::uint32_t> read_ue() {
    int zeros = 0;
    for (;;) {
      auto bit = read_bit();
      if (!bit) return std::nullopt;
      if (*bit) break;
      if (++zeros >= 32) return std::nullopt;
    }
    auto suffix = read_bits(zeros);
    if (!suffix) return std::nullopt;
    return static_cast<std::uint32_t>((std::uint64_t{1} << zeros) - 1 + *suffix);
  }

  bool skip_ue() { return read_ue().has_value(); }

  // Signed Exp-Golomb: code k odd maps to (k + 1) / 2, k even to -k / 2.
  std::optional<std::int32_t> read_se() {
    auto k = read_ue();
    if (!k) return std::nullopt;
    if (*k & 1u) return static_cast<std::int32_t>((std::uint64_t{*k} + 1) / 2);
    return -static_cast<std::int32_t>(*k / 2);
  }

 private:
  ByteView data_;
  std::size_t byte_ = 0;
  int bit_ = 0;
};

}  // namespace plexo
