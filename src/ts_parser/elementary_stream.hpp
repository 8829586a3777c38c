// An elementary stream as it lies in the input: the payloads of its packets, PES headers
// removed, in stream order, kept as runs of equally spaced pieces. Positions count bytes of the stream as if the payloads were
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
  // A run of `count` pieces of `length` bytes each, `stride` bytes apart in the input: the
  // payloads of a stream's consecutive packets are usually whole (184 bytes) and one packet
  // apart, so one run stands for many packets and a recording of tens of gigabytes keeps a
  // small list. A single piece is a run of one.
  struct Chunk {
    std::uint64_t begin;              // stream position of its first byte
    std::uint64_t input_offset : 40;  // where that byte lies in the input
    std::uint64_t length : 24;        // bytes of each piece
    std::uint32_t count;
    std::uint32_t stride;             // input bytes from one piece's start to the next

    std::uint64_t bytes() const { return static_cast<std::uint64_t>(length) * count; }
    std::uint64_t end() const { return begin + bytes(); }
    // Input offset of the byte at stream position `pos` (in this run).
    std::uint64_t offset_of(std::uint64_t pos) const {
      const std::uint64_t rel = pos - begin;
      return input_offset + (rel / length) * stride + rel % length;
    }
    // Bytes from `pos` to the end of its piece.
    std::uint64_t piece_left(std::uint64_t pos) const { return length - (pos - begin) % length; }
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
  // Room for the runs of `bytes` input bytes without moving the list in the common case.
  void reserve_for(std::size_t bytes) { chunks_.reserve(bytes / (188 * 16) + 16); }

  // Adds a payload that lies in the input (a sub-view of it); an owning stream copies it.
  void append(ByteView payload) {
    if (payload.empty()) return;
    if (owning_) {
      owned_.insert(owned_.end(), payload.begin(), payload.end());
      input_ = ByteView(owned_.data(), owned_.size());
      payload = input_.last(payload.size());
    }
    const auto offset = static_cast<std::uint64_t>(payload.data() - input_.data());
    const std::uint64_t n = payload.size();
    if (!chunks_.empty()) {
      Chunk& last = chunks_.back();
      const std::uint64_t last_start = last.input_offset + std::uint64_t{last.count - 1} * last.stride;
      if (last.count == 1 && last_start + last.length == offset && last.length + n <= kMaxChunk) {
        last.length += n;  // continues the piece
        size_ += n;
        return;
      }
      if (n == last.length && offset > last_start && last.count < UINT32_MAX &&
          (last.count == 1 ? offset - last_start <= UINT32_MAX : offset - last_start == last.stride)) {
        last.stride = static_cast<std::uint32_t>(offset - last_start);  // the next piece of the run
        ++last.count;
        size_ += n;
        return;
      }
    }
    chunks_.push_back({size_, offset, n, 1, 0});
    size_ += n;
  }

  // Where the byte at stream position `pos` lies in the input; nothing at or past size().
  std::optional<std::uint64_t> input_offset(std::uint64_t pos) const {
    if (pos >= size_) return std::nullopt;
    return chunks_[chunk_index(pos)].offset_of(pos);
  }

  // The byte at a stream position below size().
  std::uint8_t at(std::uint64_t pos) const {
    return input_[static_cast<std::size_t>(chunks_[chunk_index(pos)].offset_of(pos))];
  }

  // Up to `max` bytes from `pos` (fewer at the end of the stream) into `out`; returns the count.
  std::size_t peek(std::uint64_t pos, std::uint8_t* out, std::size_t max) const {
    std::size_t n = 0;
    if (pos >= size_) return 0;
    for_each_piece(pos, size_, [&](ByteView piece) {
      const std::size_t take = std::min(piece.size(), max - n);
      std::memcpy(out + n, piece.data(), take);
      n += take;
      return n < max;
    });
    return n;
  }

  // The first position in [from, to) holding `value`.
  std::optional<std::uint64_t> find(std::uint8_t value, std::uint64_t from, std::uint64_t to) const {
    if (to > size_) to = size_;
    if (from >= to) return std::nullopt;
    std::optional<std::uint64_t> found;
    std::uint64_t pos = from;
    for_each_piece(from, to, [&](ByteView piece) {
      if (const void* hit = std::memchr(piece.data(), value, piece.size())) {
        found = pos + static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - piece.data());
        return false;
      }
      pos += piece.size();
      return true;
    });
    return found;
  }

  // Copies consecutive ranges in increasing order; each call continues from the chunk the
  // previous one ended in, so copying a whole stream range by range stays linear.
  class Copier {
   public:
    explicit Copier(const ElementaryStream& stream) : stream_(stream) {}
    // Calls sink(ByteView) for each piece of [pos, pos + length) that lies in one piece.
    template <class Sink>
    void copy(std::uint64_t pos, std::uint64_t length, Sink&& sink) {
      const auto& chunks = stream_.chunks_;
      while (index_ < chunks.size() && chunks[index_].end() <= pos) ++index_;
      while (length > 0 && index_ < chunks.size()) {
        const Chunk& c = chunks[index_];
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(c.piece_left(pos), length));
        sink(stream_.input_.subspan(static_cast<std::size_t>(c.offset_of(pos)), take));
        pos += take;
        length -= take;
        if (pos == c.end()) ++index_;
      }
    }

   private:
    const ElementaryStream& stream_;
    std::size_t index_ = 0;
  };

  // Where consecutive ranges of the stream lie in the input, a piece at a time: for a reader
  // that fetches the bytes itself (a file read front to back) and takes pieces of several
  // streams in input order. Ranges follow one another in increasing order, as for Copier;
  // moving along a range costs no division.
  class Cursor {
   public:
    explicit Cursor(const ElementaryStream& stream) : stream_(stream) {}
    // Begins [pos, pos + length) after the previous range; what lies past the stream's end
    // is left out.
    void start(std::uint64_t pos, std::uint64_t length) {
      const auto& chunks = stream_.chunks_;
      left_ = pos < stream_.size_ ? std::min(length, stream_.size_ - pos) : 0;
      if (left_ == 0) return;
      if (index_ >= chunks.size() || chunks[index_].begin > pos) index_ = stream_.chunk_index(pos);
      while (chunks[index_].end() <= pos) ++index_;
      pos_ = pos;
      offset_ = chunks[index_].offset_of(pos);
      piece_left_ = chunks[index_].piece_left(pos);
    }
    bool done() const { return left_ == 0; }
    // Input offset of the next byte of the range (not done()).
    std::uint64_t offset() const { return offset_; }
    // Length of the next piece: the bytes from offset() that lie together in the input.
    std::uint64_t piece() const { return std::min(piece_left_, left_); }
    // Moves past `length` bytes of the next piece (at most piece()).
    void advance(std::uint64_t length) {
      pos_ += length;
      left_ -= length;
      offset_ += length;
      piece_left_ -= length;
      if (piece_left_ > 0 || left_ == 0) return;
      const Chunk& c = stream_.chunks_[index_];
      if (pos_ < c.end()) {  // the next piece of the run
        // In 64 bits: a run re-read after a lost sync has pieces closer than their length
        // (stride < length), and the difference of the narrow fields would wrap at 2^32.
        offset_ = offset_ - std::uint64_t{c.length} + std::uint64_t{c.stride};
        piece_left_ = c.length;
      } else {
        const Chunk& next = stream_.chunks_[++index_];
        offset_ = next.input_offset;
        piece_left_ = next.length;
      }
    }

   private:
    const ElementaryStream& stream_;
    std::size_t index_ = 0;
    std::uint64_t pos_ = 0;
    std::uint64_t left_ = 0;
    std::uint64_t offset_ = 0;
    std::uint64_t piece_left_ = 0;
  };

  // Gives back the bytes before stream position `pos`: whole chunks that end at or before it,
  // and, for an owning stream, the front of the chunk it lies in (with the copy of them all);
  // positions at or after `pos` stay readable.
  void discard_before(std::uint64_t pos) {
    std::size_t drop = 0;
    while (drop < chunks_.size() && chunks_[drop].end() <= pos) ++drop;
    chunks_.erase(chunks_.begin(), chunks_.begin() + static_cast<std::ptrdiff_t>(drop));
    last_ = 0;
    if (!owning_) return;
    if (!chunks_.empty() && chunks_.front().begin < pos) {
      Chunk& first = chunks_.front();
      if (first.count == 1) {
        const std::uint64_t cut = pos - first.begin;
        first.begin = pos;
        first.input_offset += cut;
        first.length -= cut;
      } else {  // whole pieces of a run
        const std::uint64_t pieces = (pos - first.begin) / first.length;
        first.begin += pieces * first.length;
        first.input_offset += pieces * first.stride;
        first.count -= static_cast<std::uint32_t>(pieces);
      }
    }
    const std::uint64_t unused = chunks_.empty() ? owned_.size() : chunks_.front().input_offset;
    if (unused == 0) return;
    owned_.erase(owned_.begin(), owned_.begin() + static_cast<std::ptrdiff_t>(unused));
    for (Chunk& c : chunks_) c.input_offset -= unused;
    input_ = ByteView(owned_.data(), owned_.size());
  }

 private:
  // Calls visit(ByteView) for each piece of [from, to) in order while it returns true.
  template <class Visit>
  void for_each_piece(std::uint64_t from, std::uint64_t to, Visit&& visit) const {
    for (std::size_t i = chunk_index(from); i < chunks_.size() && from < to; ++i) {
      const Chunk& c = chunks_[i];
      while (from < to && from < c.end()) {
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(c.piece_left(from), to - from));
        if (!visit(input_.subspan(static_cast<std::size_t>(c.offset_of(from)), take))) return;
        from += take;
      }
    }
  }

  // Lookups cluster near the end of the stream while it is scanned, and move forward while it
  // is written; the last chunk found is tried first.
  bool holds(std::size_t i, std::uint64_t pos) const {
    return i < chunks_.size() && chunks_[i].begin <= pos && pos < chunks_[i].end();
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
