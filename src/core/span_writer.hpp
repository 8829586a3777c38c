// Big-endian writing into a caller-provided span whose size was worked out beforehand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "core/bytes.hpp"
#include "core/copy.hpp"

namespace plexo {

// Writes front to back into `out`. A write that does not fit is dropped and marks the writer
// as overrun, so that a layout that miscounted is reported instead of running off the span.
// Offers the same put_* calls as Buffer, so encoders are written once for both.
class SpanWriter {
 public:
  explicit SpanWriter(std::span<std::uint8_t> out) : out_(out) {}

  std::size_t position() const { return pos_; }
  std::size_t size() const { return pos_; }
  bool overrun() const { return overrun_; }

  void put_u8(std::uint8_t v) {
    if (std::uint8_t* p = take(1)) p[0] = v;
  }
  void put_u16(std::uint16_t v) { put_be(v, 2); }
  void put_u24(std::uint32_t v) { put_be(v, 3); }
  void put_u32(std::uint32_t v) { put_be(v, 4); }
  void put_u64(std::uint64_t v) { put_be(v, 8); }
  void put_fourcc(FourCC code) { put(ByteView(code.bytes.data(), 4)); }
  void put_zeros(std::size_t n) {
    if (std::uint8_t* p = take(n)) std::memset(p, 0, n);
  }
  void put(ByteView v) {
    if (v.empty()) return;
    if (std::uint8_t* p = take(v.size())) copy_bytes(p, v.data(), v.size());
  }

 private:
  std::uint8_t* take(std::size_t n) {
    if (overrun_ || n > out_.size() - pos_) {
      overrun_ = true;
      return nullptr;
    }
    std::uint8_t* p = out_.data() + pos_;
    pos_ += n;
    return p;
  }
  void put_be(std::uint64_t v, int width) {
    std::uint8_t* p = take(static_cast<std::size_t>(width));
    if (!p) return;
    for (int i = 0; i < width; ++i) p[i] = static_cast<std::uint8_t>(v >> ((width - 1 - i) * 8));
  }

  std::span<std::uint8_t> out_;
  std::size_t pos_ = 0;
  bool overrun_ = false;
};

}  // namespace plexo
