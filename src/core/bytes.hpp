// Byte views and the checked big-endian reader that every parser reads through.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace plexo {

using ByteView = std::span<const std::uint8_t>;

// A four-character code as it stands in the file ("moov", "trak").
struct FourCC {
  std::array<std::uint8_t, 4> bytes{};

  constexpr FourCC() = default;
  constexpr FourCC(const char (&text)[5])
      : bytes{static_cast<std::uint8_t>(text[0]), static_cast<std::uint8_t>(text[1]),
              static_cast<std::uint8_t>(text[2]), static_cast<std::uint8_t>(text[3])} {}
  static FourCC from(ByteView four) {
    FourCC code;
    std::memcpy(code.bytes.data(), four.data(), 4);
    return code;
  }
  friend constexpr bool operator==(const FourCC&, const FourCC&) = default;
};

// Big-endian loads from a view at an offset; nullopt when the field does not fit.
inline std::optional<std::uint8_t> load_u8(ByteView v, std::size_t at) {
  if (at >= v.size()) return std::nullopt;
  return v[at];
}
inline std::optional<std::uint16_t> load_u16(ByteView v, std::size_t at) {
  if (at > v.size() || v.size() - at < 2) return std::nullopt;
  return static_cast<std::uint16_t>((v[at] << 8) | v[at + 1]);
}
inline std::optional<std::uint32_t> load_u24(ByteView v, std::size_t at) {
  if (at > v.size() || v.size() - at < 3) return std::nullopt;
  return (std::uint32_t{v[at]} << 16) | (std::uint32_t{v[at + 1]} << 8) | v[at + 2];
}
inline std::optional<std::uint32_t> load_u32(ByteView v, std::size_t at) {
  if (at > v.size() || v.size() - at < 4) return std::nullopt;
  return (std::uint32_t{v[at]} << 24) | (std::uint32_t{v[at + 1]} << 16) |
         (std::uint32_t{v[at + 2]} << 8) | v[at + 3];
}
inline std::optional<std::uint64_t> load_u64(ByteView v, std::size_t at) {
  if (at > v.size() || v.size() - at < 8) return std::nullopt;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i) value = (value << 8) | v[at + i];
  return value;
}

// Sub-view [at, at + length) or nullopt when it does not lie inside v.
inline std::optional<ByteView> slice(ByteView v, std::size_t at, std::size_t length) {
  if (at > v.size() || v.size() - at < length) return std::nullopt;
  return v.subspan(at, length);
}

// Sequential big-endian reader. A read that does not fit returns nullopt and leaves the
// position where it was.
class ByteReader {
 public:
  explicit ByteReader(ByteView data) : data_(data) {}

  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return data_.size() - pos_; }
  ByteView data() const { return data_; }
  ByteView rest() const { return data_.subspan(pos_); }

  std::optional<std::uint8_t> read_u8() { return take(load_u8(data_, pos_), 1); }
  std::optional<std::uint16_t> read_u16() { return take(load_u16(data_, pos_), 2); }
  std::optional<std::uint32_t> read_u24() { return take(load_u24(data_, pos_), 3); }
  std::optional<std::uint32_t> read_u32() { return take(load_u32(data_, pos_), 4); }
  std::optional<std::uint64_t> read_u64() { return take(load_u64(data_, pos_), 8); }
  std::optional<ByteView> read_bytes(std::size_t n) { return take(slice(data_, pos_, n), n); }

  bool skip(std::size_t n) {
    if (n > remaining()) return false;
    pos_ += n;
    return true;
  }
  bool seek(std::size_t position) {
    if (position > data_.size()) return false;
    pos_ = position;
    return true;
  }

 private:
  template <class T>
  std::optional<T> take(std::optional<T> value, std::size_t width) {
    if (value) pos_ += width;
    return value;
  }

  ByteView data_;
  std::size_t pos_ = 0;
};

// Checked arithmetic for sizes and offsets read from files.
inline std::optional<std::uint64_t> checked_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum;
  if (__builtin_add_overflow(a, b, &sum)) return std::nullopt;
  return sum;
}
inline std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product;
  if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
  return product;
}

}  // namespace plexo
