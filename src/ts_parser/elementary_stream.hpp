// An elementary stream as it lies in the input: the payloads of its packets, PES headers
// removed, in stream order. Positions count bytes of the stream as if the payloads were
// joined; nothing is joined: the bytes stay in the input until the writer copies them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "core/bytes.hpp"

namespace plexo::ts {

class ElementaryStream {
 public:
  struct Chunk {
    std::uint64_t begin;         // stream position of its first byte
    std::uint64_t input_offset;  // where that byte lies in the input
    std::uint32_t length;
  };

  ElementaryStream() = default;
  explicit ElementaryStream(ByteView input) : input_(input) {}

  std::uint64_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const std::vector<Chunk>& chunks() const { return chunks_; }

  // Adds a payload that lies in the input (a sub-view of it).
  void append(ByteView payload) {
    if (payload.empty()) return;
    const auto offset = static_cast<std::uint64_t>(payload.data() - input_.data());
    if (!chunks_.empty() && chunks_.back().input_offset + chunks_.back().length == offset &&
        chunks_.back().length <= 0xFFFFFFFFu - payload.size()) {
      chunks_.back().length += static_cast<std::uint32_t>(payload.size());
    } else {
      chunks_.push_back({size_, offset, static_cast<std::uint32_t>(payload.size())});
    }
    size_ += payload.size();
  }

  // The byte at a stream position below size().
  std::uint8_t at(std::uint64_t pos) const {
    const Chunk& c = chunks_[chunk_index(pos)];
    return input_[c.input_offset + (pos - c.begin)];
  }

  // Up to `max` bytes from `pos` (fewer at the end of the stream) into `out`; returns the count.
  std::size_t peek(std::uint64_t pos, std::uint8_t* out, std::size_t max) const {
    std::size_t n = 0;
    if (pos >= size_) return 0;
    for (std::size_t i = chunk_index(pos); i < chunks_.size() && n < max; ++i) {
      const Chunk& c = chunks_[i];
      const std::uint64_t from = pos + n - c.begin;
      const std::size_t take = static_cast<std::size_t>(
          std::min<std::uint64_t>(c.length - from, max - n));
      std::memcpy(out + n, input_.data() + c.input_offset + from, take);
      n += take;
    }
    return n;
  }

  // The first position in [from, to) holding `value`.
  std::optional<std::uint64_t> find(std::uint8_t value, std::uint64_t from, std::uint64_t to) const {
    if (to > size_) to = size_;
    if (from >= to) return std::nullopt;
    for (std::size_t i = chunk_index(from); i < chunks_.size() && chunks_[i].begin < to; ++i) {
      const Chunk& c = chunks_[i];
      const std::uint64_t start = std::max(from, c.begin);
      const std::uint64_t end = std::min<std::uint64_t>(to, c.begin + c.length);
      const std::uint8_t* base = input_.data() + c.input_offset;
      const void* hit = std::memchr(base + (start - c.begin), value, end - start);
      if (hit) return c.begin + static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - base);
    }
    return std::nullopt;
  }

  // Copies consecutive ranges in increasing order; each call continues from the chunk the
  // previous one ended in, so copying a whole stream range by range stays linear.
  class Copier {
   public:
    explicit Copier(const ElementaryStream& stream) : stream_(stream) {}
    // Calls sink(ByteView) for each piece of [pos, pos + length) that lies in one chunk.
    template <class Sink>
    void copy(std::uint64_t pos, std::uint64_t length, Sink&& sink) {
      const auto& chunks = stream_.chunks_;
      while (index_ < chunks.size() && chunks[index_].begin + chunks[index_].length <= pos) ++index_;
      while (length > 0 && index_ < chunks.size()) {
        const Chunk& c = chunks[index_];
        const std::uint64_t from = pos - c.begin;
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(c.length - from, length));
        sink(stream_.input_.subspan(static_cast<std::size_t>(c.input_offset + from), take));
        pos += take;
        length -= take;
        if (from + take == c.length) ++index_;
      }
    }

   private:
    const ElementaryStream& stream_;
    std::size_t index_ = 0;
  };

 private:
  // Lookups cluster near the end of the stream while it is scanned, and move forward while it
  // is written; the last chunk found is tried first.
  std::size_t chunk_index(std::uint64_t pos) const {
    if (last_ < chunks_.size() && chunks_[last_].begin <= pos &&
        pos < chunks_[last_].begin + chunks_[last_].length)
      return last_;
    std::size_t lo = 0, hi = chunks_.size();
    while (hi - lo > 1) {
      const std::size_t mid = (lo + hi) / 2;
      if (chunks_[mid].begin <= pos) lo = mid;
      else hi = mid;
    }
    last_ = lo;
    return lo;
  }

  ByteView input_;
  std::vector<Chunk> chunks_;
  std::uint64_t size_ = 0;
  mutable std::size_t last_ = 0;
};

}  // namespace plexo::ts
