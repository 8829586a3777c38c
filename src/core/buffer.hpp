// The growable output buffer with big-endian writers and back-patching.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "core/bytes.hpp"

namespace plexo {

// The size of a huge page (2 MiB), the unit the large buffers and file windows align to.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Asks the kernel to back a fresh, not yet touched region with huge pages. Whole files are
// written into new buffers once, so with 4 KiB pages most of a conversion's time goes to
// page faults; 2 MiB pages take 512 times fewer. Only the 2 MiB-aligned interior is advised.
inline void advise_huge_pages(void* data, std::size_t size) {
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (start + size) & ~(kHugePage - 1);
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// Allocates large byte buffers on huge-page boundaries and advises huge pages for them.
template <class T>
struct LargeBufferAllocator {
  using value_type = T;
  static constexpr std::size_t kLarge = std::size_t{8} << 20;
  static constexpr std::size_t kAlignment = kHugePage;

  LargeBufferAllocator() = default;
  template <class U>
  LargeBufferAllocator(const LargeBufferAllocator<U>&) {}

  T* allocate(std::size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    void* p = nullptr;
    if (bytes >= kLarge) {
      p = std::aligned_alloc(kAlignment, (bytes + kAlignment - 1) & ~(kAlignment - 1));
      if (p) advise_huge_pages(p, bytes);
    } else {
      p = std::malloc(bytes == 0 ? 1 : bytes);
    }
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t) { std::free(p); }

  template <class U>
  bool operator==(const LargeBufferAllocator<U>&) const { return true; }
};

using ByteVector = std::vector<std::uint8_t, LargeBufferAllocator<std::uint8_t>>;

class Buffer {
 public:
  Buffer() = default;

  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  std::uint8_t* data() { return bytes_.data(); }
  ByteView view() const { return {bytes_.data(), bytes_.size()}; }
  operator ByteView() const { return view(); }
  void reserve(std::size_t n) { bytes_.reserve(n); }
  void clear() { bytes_.clear(); }
  ByteVector& vector() { return bytes_; }
  // Gives the memory back at once, rather than when the buffer goes.
  void free_memory() { ByteVector().swap(bytes_); }

  void put_u8(std::uint8_t v) { bytes_.push_back(v); }
  void put_u16(std::uint16_t v) { put_be(v, 2); }
  void put_u24(std::uint32_t v) { put_be(v, 3); }
  void put_u32(std::uint32_t v) { put_be(v, 4); }
  void put_u64(std::uint64_t v) { put_be(v, 8); }
  void put_fourcc(FourCC code) { bytes_.insert(bytes_.end(), code.bytes.begin(), code.bytes.end()); }
  void put_zeros(std::size_t n) { bytes_.insert(bytes_.end(), n, 0); }
  void put(ByteView v) { bytes_.insert(bytes_.end(), v.begin(), v.end()); }

  void patch_u32(std::size_t at, std::uint32_t v) { patch_be(at, v, 4); }
  void patch_u64(std::size_t at, std::uint64_t v) { patch_be(at, v, 8); }

 private:
  void put_be(std::uint64_t v, int width) {
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
      bytes_.push_back(static_cast<std::uint8_t>(v >> shift));
  }
  void patch_be(std::size_t at, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i)
      bytes_[at + i] = static_cast<std::uint8_t>(v >> ((width - 1 - i) * 8));
  }

  ByteVector bytes_;
};

}  // namespace plexo
