// An elementary stream as it lies in the input: the payloads of its packets, PES headers
// removed, in stream order. Positions count bytes of the stream as if the payloads were
// joined; nothing is joined: the bytes stay in the input until the writer copies them.
// A stream demultiplexed as it arrives in pieces (`owning()`) keeps its own copy of the
// payloads instead, and gives back what it is told no reader needs any more
// (`discard_before`); positions stay those of the whole stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "core/buffer.hpp"
#include "core/bytes.hpp"

namespace plexo::ts {

class ElementaryStream {
 public:
  // Sixteen bytes: a stream can have one for every packet of the input.
  struct Chunk {
    std::uint64_t begin;              // stream position of its first byte
    std::uint64_t input_offset : 40;  // where that byte lies in the input
    std::uint64_t length : 24;
  };
  static constexpr std::uint64_t kMaxChunk = (std::uint64_t{1} << 24) - 1;

  ElementaryStream() = default;
  explicit ElementaryStream(ByteView input) : input_(input) {}
  static ElementaryStream owning() {
    ElementaryStream stream;
    stream.owning_ = true;
    return stream;
  }

  std::uint64_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Room for one chunk per packet of `bytes` input bytes, so the list never moves.
  void reserve_for(std::size_t bytes) { chunks_.reserve(bytes / 188 + 1); }

  // Adds a payload that lies in the input (a sub-view of it); an owning stream copies it.
  void append(ByteView payload) {
    if (payload.empty()) return;
    if (owning_) {
      owned_.insert(owned_.end(), payload.begin(), payload.end());
      input_ = ByteView(owned_.data(), owned_.size());
      payload = input_.last(payload.size());
    }
    const auto offset = static_cast<std::uint64_t>(payload.data() - input_.data());
    if (!chunks_.empty() && chunks_.back().input_offset + chunks_.back().length == offset &&
        chunks_.back().length + payload.size() <= kMaxChunk) {
      chunks_.back().length += payload.size();
    } else {
      chunks_.push_back({size_, offset, payload.size()});
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

  // Gives back the bytes before stream position `pos`: whole chunks that end at or before it,
  // and, for an owning stream, the front of the chunk it lies in (with the copy of them all);
  // positions at or after `pos` stay readable.
  void discard_before(std::uint64_t pos) {
    std::size_t drop = 0;
    while (drop < chunks_.size() && chunks_[drop].begin + chunks_[drop].length <= pos) ++drop;
    chunks_.erase(chunks_.begin(), chunks_.begin() + static_cast<std::ptrdiff_t>(drop));
    last_ = 0;
    if (!owning_) return;
    if (!chunks_.empty() && chunks_.front().begin < pos) {
      Chunk& first = chunks_.front();
      const std::uint64_t cut = pos - first.begin;
      first.begin = pos;
      first.input_offset += cut;
      first.length -= cut;
    }
    const std::uint64_t unused = chunks_.empty() ? owned_.size() : chunks_.front().input_offset;
    if (unused == 0) return;
    owned_.erase(owned_.begin(), owned_.begin() + static_cast<std::ptrdiff_t>(unused));
    for (Chunk& c : chunks_) c.input_offset -= unused;
    input_ = ByteView(owned_.data(), owned_.size());
  }

 private:
  // Lookups cluster near the end of the stream while it is scanned, and move forward while it
  // is written; the last chunk found is tried first.
  bool holds(std::size_t i, std::uint64_t pos) const {
    return i < chunks_.size() && chunks_[i].begin <= pos && pos < chunks_[i].begin + chunks_[i].length;
  }
  std::size_t chunk_index(std::uint64_t pos) const {
    if (holds(last_, pos)) return last_;
    if (holds(last_ + 1, pos)) return ++last_;
    const std::size_t n = chunks_.size();
    if (n >= 2 && holds(n - 2, pos)) return last_ = n - 2;
    if (n >= 1 && holds(n - 1, pos)) return last_ = n - 1;
    std::size_t lo = 0, hi = n;
    while (hi - lo > 1) {
      const std::size_t mid = (lo + hi) / 2;
      if (chunks_[mid].begin <= pos) lo = mid;
      else hi = mid;
    }
    last_ = lo;
    return lo;
  }

  ByteView input_;
  bool owning_ = false;
  ByteVector owned_;  // an owning stream's bytes, from its first chunk's on
  std::vector<Chunk, LargeBufferAllocator<Chunk>> chunks_;
  std::uint64_t size_ = 0;
  mutable std::size_t last_ = 0;
};

}  // namespace plexo::ts
