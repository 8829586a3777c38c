// Files read and written in bounded memory, for the operations that go file to file.
//
// An InputFile is a file opened by the caller (its descriptor) seen through an address range
// of the file's size in which only the bytes being read are present: the parsers walk it as
// if the file were in memory, the tables they need are loaded into place by pread and let go
// when done, and the media bytes are never loaded at all. The range is anonymous memory, so
// a file that shrinks while it is read gives an error from the read, never a fault.
//
// A FileWriter writes a file front to back through one buffer, with the put_* calls of a
// SpanWriter (so box encoders and the movie writer serve both). Bytes that lie in an
// InputFile's range are copied from the file by offset: large runs in the kernel
// (copy_file_range) where it can, small ones from a window of the input read in one pread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "core/bytes.hpp"
#include "core/error.hpp"
#include "core/worker.hpp"

namespace plexo {

// An error of the operating system: the message names what failed, `system_error` its errno.
Unexpected<Error> fail_system(int error_number, std::string what);

class InputFile {
 public:
  // `fd` stays the caller's (open for reading) and must outlive this object. Fails for
  // anything but a regular file.
  static Result<InputFile> open(int fd);
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&&) = delete;
  InputFile(const InputFile&) = delete;
  ~InputFile();

  int fd() const { return fd_; }
  std::uint64_t size() const { return size_; }
  // The file's address range: only what was loaded holds the file's bytes, the rest reads as
  // zeros.
  ByteView view() const { return {base_, static_cast<std::size_t>(size_)}; }
  // Whether `bytes` lies in this file's range, and where.
  bool holds(ByteView bytes) const {
    return bytes.data() >= base_ && bytes.data() + bytes.size() <= base_ + size_;
  }
  std::uint64_t offset_of(const std::uint8_t* at) const { return static_cast<std::uint64_t>(at - base_); }

  // Reads [offset, offset + length) of the file into place (clipped to the file's size).
  Status load(std::uint64_t offset, std::uint64_t length);
  // Gives back the memory of [offset, offset + length); pages that also hold a kept range
  // stay.
  void release(std::uint64_t offset, std::uint64_t length);
  // For a file read front to back in large windows: huge pages back what is loaded (fewer
  // faults), and release_below gives back every page wholly below `offset`. The memory of
  // huge pages given back this way is moved to the windows loaded next rather than freed,
  // so the windows reuse a few MiB of memory rather than take (and clear) new pages; load()
  // may run in another thread than release_below().
  void read_in_windows();
  void release_below(std::uint64_t offset);
  // Loads a range that stays until the object goes (release() leaves its pages alone).
  Status keep(std::uint64_t offset, std::uint64_t length);
  // Gives back every page but those of kept ranges.
  void release_all();

  // Reads exactly `length` bytes at `offset` into `out`; fails when the file ends first.
  Status read(std::uint64_t offset, std::uint8_t* out, std::size_t length) const;

 private:
  InputFile(int fd, std::uint64_t size, std::uint8_t* base, std::size_t mapped)
      : fd_(fd), size_(size), base_(base), mapped_(mapped) {}
  bool kept_page(std::uint64_t page) const;

  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::uint8_t* base_ = nullptr;
  std::size_t mapped_ = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> kept_;  // [begin, end), ascending
  std::uint64_t released_below_ = 0;
  // Read in windows: huge pages given back and not reused yet (their offsets).
  struct SparePages {
    std::mutex mutex;
    std::vector<std::uint64_t> chunks;
    bool moves = true;  // until the kernel refuses to move pages
  };
  std::unique_ptr<SparePages> spare_;
  // Moves spare pages to the huge pages of [offset, offset + length) that lie wholly inside.
  void reuse_spare_pages(std::uint64_t offset, std::uint64_t length);
};

// The error for a file that ends before a byte it had when it was opened.
Unexpected<Error> input_shrank(std::uint64_t needed_end);

// A buffer of `size` bytes on a huge-page boundary, advised for huge pages (page-aligned when
// smaller than one): what a large read or write goes through once per window, with fewer
// page-table walks (the kernel's copy into it and a direct write's pinning of it take a 2 MiB
// page at a time). Null when out of memory.
struct FreeBuffer {
  void operator()(std::uint8_t* p) const { std::free(p); }
};
using WindowBuffer = std::unique_ptr<std::uint8_t, FreeBuffer>;
WindowBuffer window_buffer(std::size_t size);

// Bytes of an input file for a reader that asks for them in increasing order (pieces of
// several streams taken in file order): they come from one window read in a single large
// pread, which moves forward when a piece lies past it, so each byte is read once.
class InputWindow {
 public:
  static constexpr std::size_t kCapacity = std::size_t{4} << 20;
  explicit InputWindow(const InputFile& file) : file_(file), buffer_(window_buffer(kCapacity)) {
    if (!buffer_) throw std::bad_alloc();
  }

  // The bytes [offset, offset + length), length at most kCapacity; nullptr when the file
  // ended before them (status() says so) or a read failed.
  const std::uint8_t* at(std::uint64_t offset, std::size_t length) {
    if (holds(offset, length)) return buffer_.get() + (offset - begin_);
    return load(offset, length);
  }
  // Whether the bytes [offset, offset + length) are in the window already.
  bool holds(std::uint64_t offset, std::uint64_t length) const {
    return offset >= begin_ && offset <= end_ && length <= end_ - offset;
  }
  const InputFile& file() const { return file_; }
  const Status& status() const { return status_; }

 private:
  const std::uint8_t* load(std::uint64_t offset, std::size_t length);

  const InputFile& file_;
  WindowBuffer buffer_;
  std::uint64_t begin_ = 0, end_ = 0;  // the file range the buffer holds
  Status status_;
};

class FileWriter {
 public:
  // Writes at `fd`'s current position (a regular file open for writing, the caller's).
  // Bytes viewed in any of `sources` are read from their files.
  FileWriter(int fd, std::vector<const InputFile*> sources);
  // Writes from file offset `at` on, leaving `fd`'s position alone, so that several writers
  // fill regions of one file side by side; position() starts at `at`. Only for a file that
  // writes_at_offsets(). A region written in small amounts may take a smaller buffer.
  struct At {
    std::uint64_t offset;
  };
  static constexpr std::size_t kBufferSize = std::size_t{4} << 20;
  FileWriter(int fd, At at, std::size_t buffer_size = kBufferSize);
  // Whether `fd` is a regular file (not a pipe or a terminal, which take bytes in order).
  static bool writes_at_offsets(int fd);
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  std::uint64_t position() const { return position_; }
  // A write failed (the first error is kept; later writes do nothing).
  bool overrun() const { return !status_; }
  const Status& status() const { return status_; }

  void put_u8(std::uint8_t v) {
    if (room() >= 1) buffer_[used_++] = v, ++position_;
    else put_slow(&v, 1);
  }
  void put_u16(std::uint16_t v) { put_be(v, 2); }
  void put_u24(std::uint32_t v) { put_be(v, 3); }
  void put_u32(std::uint32_t v) { put_be(v, 4); }
  void put_u64(std::uint64_t v) { put_be(v, 8); }
  void put_fourcc(FourCC code) { put_bytes(code.bytes.data(), 4); }
  void put_zeros(std::size_t n);
  // Bytes in memory, or a view of a source file's range (copied from the file).
  void put(ByteView v);

  // Writes out what is buffered.
  Status flush();
  // Overwrites bytes already written (after flush()).
  Status patch(std::uint64_t at, ByteView bytes);

 private:
  std::size_t room() const { return buffer_.size() - used_; }
  void put_bytes(const std::uint8_t* p, std::size_t n) {
    if (n <= room()) {
      std::memcpy(buffer_.data() + used_, p, n);
      used_ += n;
      position_ += n;
    } else {
      put_slow(p, n);
    }
  }
  void put_be(std::uint64_t v, int width) {
    std::uint8_t bytes[8];
    for (int i = 0; i < width; ++i) bytes[i] = static_cast<std::uint8_t>(v >> ((width - 1 - i) * 8));
    put_bytes(bytes, static_cast<std::size_t>(width));
  }
  void put_slow(const std::uint8_t* p, std::size_t n);
  void copy_from(const InputFile& source, std::uint64_t offset, std::uint64_t length);
  bool copy_in_kernel(const InputFile& source, std::uint64_t offset, std::uint64_t length);
  Status write_out(const std::uint8_t* p, std::size_t n);
  // Starts the disk writing what was written out since the last start, once that is large.
  void start_writeback();

  int fd_;
  std::vector<const InputFile*> sources_;
  std::vector<std::uint8_t> buffer_;
  std::size_t used_ = 0;
  std::uint64_t position_ = 0;
  bool positioned_ = false;           // pwrite at file_offset_ + position
  std::uint64_t file_offset_ = 0;     // of position 0
  std::uint64_t writeback_from_ = 0;  // file offset: written out, writeback not started
  Status status_;
  bool kernel_copy_ = true;  // copy_file_range until the kernel refuses it
  // The window of a source read for small pieces (made on the first one).
  std::optional<InputWindow> window_;
  std::uint64_t last_end_ = 0;  // where the previous piece from a source ended
};

// Regions of a regular file written around the page cache, through a second descriptor of the
// same file opened for direct I/O: whole aligned blocks go from the writer's buffers straight
// to the disk, written by a thread of its own while the next buffer fills. An output that is
// synced before it is renamed into place costs the disk's time either way; this way that
// time overlaps the work rather than following it, and the output takes no page cache (whose
// fresh pages cost more than the copy into them where memory is handed back and forth with a
// host). The bytes of blocks that a region shares with its neighbours go through the page
// cache, once every block has been written (`finish`); so does everything written with the
// caller's descriptor afterwards (the head of the file).
class DirectWrites {
 public:
  static constexpr std::size_t kBlock = 4096;
  // nullptr when `fd` cannot be written this way (not a regular file, no /proc, a file system
  // without direct I/O): the caller writes through the page cache instead.
  static std::unique_ptr<DirectWrites> open(int fd);
  ~DirectWrites();
  DirectWrites(const DirectWrites&) = delete;
  DirectWrites& operator=(const DirectWrites&) = delete;

  // Writes `length` bytes (a multiple of kBlock, at a kBlock-aligned address) at file offset
  // `offset` (aligned) in the background; the bytes must stay until wait() for the returned
  // ticket. A file system that refuses an aligned direct write gets it through the page cache.
  std::uint64_t submit(const std::uint8_t* bytes, std::size_t length, std::uint64_t offset);
  // Until the write of `ticket` (and every one before it) is done.
  void wait(std::uint64_t ticket) { worker_->wait(ticket); }
  // Bytes to write through the page cache once the blocks are written (copied).
  void write_later(std::uint64_t offset, ByteView bytes);
  // Waits for every block, then writes what was kept for later; the first error.
  Status finish();

 private:
  DirectWrites(int fd, int direct_fd, std::unique_ptr<Worker> worker)
      : fd_(fd), direct_fd_(direct_fd), worker_(std::move(worker)) {}
  void write(const std::uint8_t* bytes, std::size_t length, std::uint64_t offset);

  int fd_;
  int direct_fd_;
  // Only the worker's thread touches these until it is waited for.
  bool through_cache_ = false;  // direct writes were refused
  Status status_;
  std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> later_;
  std::unique_ptr<Worker> worker_;  // last: it ends first, running what it was handed
};

// Writes one region of a file, from `begin` on, through DirectWrites: the put calls of a
// FileWriter into two aligned buffers that take turns, one filling while the other is written.
class DirectRegionWriter {
 public:
  DirectRegionWriter(DirectWrites& writes, std::uint64_t begin, std::size_t buffer_size);
  // Waits until no write reads its buffers.
  ~DirectRegionWriter();
  DirectRegionWriter(const DirectRegionWriter&) = delete;
  DirectRegionWriter& operator=(const DirectRegionWriter&) = delete;

  std::uint64_t position() const { return base_ + used_; }
  void put(ByteView v) {
    if (v.size() <= size_ - used_) {
      std::memcpy(current() + used_, v.data(), v.size());
      used_ += v.size();
    } else {
      put_slow(v);
    }
  }
  // Hands over what is buffered; its partial blocks are written, and any failure reported, by
  // DirectWrites::finish().
  Status flush() {
    hand_over();
    return {};
  }

 private:
  std::uint8_t* current() { return buffers_[current_].get(); }
  void put_slow(ByteView v);
  // Hands the current buffer's whole blocks to the writer and keeps its partial ones for
  // later; the other buffer becomes current once its own write is done.
  void hand_over();

  DirectWrites& writes_;
  std::size_t size_;
  WindowBuffer buffers_[2];
  std::uint64_t tickets_[2] = {0, 0};
  int current_ = 0;
  std::uint64_t base_;  // file offset of the current buffer's first byte (aligned)
  std::size_t used_;    // bytes of the current buffer up to the position
  std::size_t own_from_;  // the current buffer's first byte of this region
};

}  // namespace plexo
