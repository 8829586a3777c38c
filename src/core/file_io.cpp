#include "core/file_io.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "core/buffer.hpp"
#include "core/messages.hpp"

namespace plexo {
namespace {

constexpr std::uint64_t kKernelCopy = std::uint64_t{1} << 20;  // runs copied in the kernel
constexpr std::uint64_t kDirectRead = std::uint64_t{64} << 10;  // runs read straight in
constexpr std::uint64_t kNearby = std::uint64_t{64} << 10;  // a gap a window reads across
// Output written since the last start of writeback: the disk writes it while the rest is made,
// so that the sync that ends a file operation finds little left to do.
constexpr std::uint64_t kWriteback = std::uint64_t{16} << 20;

std::uint64_t page_size() {
  static const std::uint64_t size = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

// Reads up to `want` bytes at `offset` into `out`, fewer where the file ends: the count read.
Result<std::size_t> read_up_to(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t want) {
  std::size_t got = 0;
  while (got < want) {
    const ssize_t n = ::pread(fd, out + got, want - got, static_cast<off_t>(offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_system(errno, msg::kCannotRead);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

// Writes all `length` bytes through `fd`, at `offset` where one is given (else where the
// descriptor stands): 0, or the error number that stopped it.
int write_fully(int fd, const std::uint8_t* bytes, std::size_t length, std::optional<std::uint64_t> offset) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = offset ? ::pwrite(fd, bytes + done, length - done, static_cast<off_t>(*offset + done))
                             : ::write(fd, bytes + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;  // a write that takes nothing would never end
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

Status write_all_at(int fd, const std::uint8_t* bytes, std::size_t length, std::uint64_t offset) {
  if (const int error = write_fully(fd, bytes, length, offset)) return fail_system(error, msg::kCannotWrite);
  return {};
}

}  // namespace

Unexpected<Error> fail_system(int error_number, std::string what) {
  Error error{std::move(what) + ": " + std::strerror(error_number)};
  error.system_error = error_number;
  return Unexpected<Error>{std::move(error)};
}

Unexpected<Error> input_shrank(std::uint64_t needed_end) {
  return fail(msg::file_cut_short(needed_end), ErrorCategory::kUnexpectedEnd);
}

Result<InputFile> InputFile::open(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail_system(errno, msg::kCannotRead);
  if (!S_ISREG(info.st_mode)) return fail(msg::kNotRegularFile);
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (size > (std::uint64_t{1} << 46)) return fail(msg::kFileTooLarge);
  const std::uint64_t mapped = std::max<std::uint64_t>((size + page_size() - 1) / page_size(), 1) * page_size();
  // Address space only: pages exist where something is loaded.
  void* base = ::mmap(nullptr, static_cast<std::size_t>(mapped), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) return fail_system(errno, msg::kCannotReserve);
  return InputFile(fd, size, static_cast<std::uint8_t*>(base), static_cast<std::size_t>(mapped));
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(other.fd_), size_(other.size_), base_(other.base_), mapped_(other.mapped_),
      kept_(std::move(other.kept_)), released_below_(other.released_below_), spare_(std::move(other.spare_)) {
  other.base_ = nullptr;
  other.mapped_ = 0;
}

InputFile::~InputFile() {
  if (base_) ::munmap(base_, mapped_);
}

Status InputFile::read(std::uint64_t offset, std::uint8_t* out, std::size_t length) const {
  if (PLEXO_TRY(read_up_to(fd_, offset, out, length)) < length) return input_shrank(offset + length);
  return {};
}

Status InputFile::load(std::uint64_t offset, std::uint64_t length) {
  if (offset >= size_) return {};
  length = std::min(length, size_ - offset);
  if (spare_) reuse_spare_pages(offset, length);
  return read(offset, base_ + offset, static_cast<std::size_t>(length));
}

namespace {
#ifndef MREMAP_DONTUNMAP
#define MREMAP_DONTUNMAP 4
#endif
}  // namespace

void InputFile::reuse_spare_pages(std::uint64_t offset, std::uint64_t length) {
  const auto base = reinterpret_cast<std::uint64_t>(base_);
  std::uint64_t chunk = ((base + offset + kHugePage - 1) & ~(kHugePage - 1)) - base;
  for (; chunk + kHugePage <= offset + length; chunk += kHugePage) {
    std::uint64_t from;
    {
      std::lock_guard lock(spare_->mutex);
      if (!spare_->moves || spare_->chunks.empty()) return;
      from = spare_->chunks.back();
      spare_->chunks.pop_back();
    }
    // The pages move; where they were stays mapped, empty (DONTUNMAP), and is mapped afresh
    // so that it joins the range's mapping around it again.
    void* moved = ::mremap(base_ + from, kHugePage, kHugePage, MREMAP_MAYMOVE | MREMAP_FIXED | MREMAP_DONTUNMAP,
                           base_ + chunk);
    if (moved == MAP_FAILED) {
      ::madvise(base_ + from, kHugePage, MADV_DONTNEED);
      std::lock_guard lock(spare_->mutex);
      spare_->moves = false;
      return;
    }
    ::mmap(base_ + from, kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE,
           -1, 0);
    advise_huge_pages(base_ + from, kHugePage);
  }
}

bool InputFile::kept_page(std::uint64_t page) const {
  const std::uint64_t end = page + page_size();
  auto after = std::lower_bound(kept_.begin(), kept_.end(), end,
                                [](const auto& range, std::uint64_t at) { return range.first < at; });
  return after != kept_.begin() && std::prev(after)->second > page;
}

void InputFile::release(std::uint64_t offset, std::uint64_t length) {
  if (length == 0 || offset >= size_) return;
  const std::uint64_t ps = page_size();
  std::uint64_t first = offset / ps * ps;
  std::uint64_t last = std::min<std::uint64_t>((offset + length + ps - 1) / ps * ps, mapped_);
  // The pages at either end may hold a kept range as well.
  while (first < last && kept_page(first)) first += ps;
  while (last > first && kept_page(last - ps)) last -= ps;
  // Pages in between that hold kept ranges: release around them.
  auto range = std::lower_bound(kept_.begin(), kept_.end(), first,
                                [](const auto& r, std::uint64_t at) { return r.second <= at; });
  for (; first < last && range != kept_.end() && range->first < last; ++range) {
    const std::uint64_t stop = range->first / ps * ps;
    if (stop > first) ::madvise(base_ + first, static_cast<std::size_t>(stop - first), MADV_DONTNEED);
    first = std::max(first, (range->second + ps - 1) / ps * ps);
  }
  if (last > first) ::madvise(base_ + first, static_cast<std::size_t>(last - first), MADV_DONTNEED);
}

Status InputFile::keep(std::uint64_t offset, std::uint64_t length) {
  if (offset >= size_ || length == 0) return {};
  length = std::min(length, size_ - offset);
  const std::pair<std::uint64_t, std::uint64_t> range{offset, offset + length};
  kept_.insert(std::upper_bound(kept_.begin(), kept_.end(), range), range);
  return load(offset, length);
}

void InputFile::release_all() {
  if (spare_) {
    std::lock_guard lock(spare_->mutex);
    spare_->chunks.clear();
  }
  release(0, size_);
}

void InputFile::read_in_windows() {
  advise_huge_pages(base_, mapped_);
  spare_ = std::make_unique<SparePages>();
}

void InputFile::release_below(std::uint64_t offset) {
  std::uint64_t end = std::min<std::uint64_t>(offset, size_) / page_size() * page_size();
  if (spare_ && kept_.empty()) {
    // Whole huge pages only, each kept for a later window while a few are.
    constexpr std::size_t kSpareChunks = 4;  // what the next window takes
    const auto base = reinterpret_cast<std::uint64_t>(base_);
    const std::uint64_t first_address = (base + released_below_ + kHugePage - 1) & ~(kHugePage - 1);
    const std::uint64_t last_address = (base + end) & ~(kHugePage - 1);
    if (end > released_below_ && first_address < last_address) {
      const std::uint64_t first = first_address - base, last = last_address - base;
      release(released_below_, first - released_below_);
      for (std::uint64_t chunk = first; chunk < last; chunk += kHugePage) {
        std::lock_guard lock(spare_->mutex);
        if (spare_->moves && spare_->chunks.size() < kSpareChunks) spare_->chunks.push_back(chunk);
        else ::madvise(base_ + chunk, kHugePage, MADV_DONTNEED);
      }
      released_below_ = last;
      return;
    }
    if (end - released_below_ < kHugePage) return;  // until a whole huge page is below
  }
  if (end <= released_below_) return;
  release(released_below_, end - released_below_);
  released_below_ = end;
}

WindowBuffer window_buffer(std::size_t size) {
  constexpr std::size_t kPage = 4096;
  if (size < kHugePage)  // too small for a huge page: page-aligned
    return WindowBuffer(static_cast<std::uint8_t*>(std::aligned_alloc(kPage, (size + kPage - 1) / kPage * kPage)));
  const std::size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
  WindowBuffer buffer(static_cast<std::uint8_t*>(std::aligned_alloc(kHugePage, rounded)));
  if (buffer) advise_huge_pages(buffer.get(), rounded);
  return buffer;
}

const std::uint8_t* InputWindow::load(std::uint64_t offset, std::size_t length) {
  if (!status_) return nullptr;
  begin_ = end_ = 0;  // until the read below succeeds
  if (length > kCapacity || offset > file_.size() || length > file_.size() - offset) {
    status_ = input_shrank(offset + length);
    return nullptr;
  }
  // The window's bytes from `offset` on, as far as the file goes: a file that shrank since it
  // was opened gives fewer.
  const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kCapacity, file_.size() - offset));
  Result<std::size_t> read = read_up_to(file_.fd(), offset, buffer_.get(), want);
  if (!read) {
    status_ = Unexpected<Error>{std::move(read).error()};
    return nullptr;
  }
  const std::size_t got = *read;
  begin_ = offset;
  end_ = offset + got;
  if (got < length) {
    status_ = input_shrank(offset + length);
    return nullptr;
  }
  return buffer_.get();
}

FileWriter::FileWriter(int fd, std::vector<const InputFile*> sources)
    : fd_(fd), sources_(std::move(sources)), buffer_(kBufferSize) {
  const off_t at = ::lseek(fd_, 0, SEEK_CUR);
  file_offset_ = at > 0 ? static_cast<std::uint64_t>(at) : 0;
  writeback_from_ = file_offset_;
}

FileWriter::FileWriter(int fd, At at, std::size_t buffer_size)
    : fd_(fd), buffer_(std::max<std::size_t>(buffer_size, 1)), position_(at.offset), positioned_(true),
      writeback_from_(at.offset) {}

bool FileWriter::writes_at_offsets(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

void FileWriter::start_writeback() {
  const std::uint64_t end = file_offset_ + position_ - used_;
  if (end - writeback_from_ < kWriteback) return;
  // Only a hint: a file system without it syncs everything at the end instead.
  ::sync_file_range(fd_, static_cast<off_t>(writeback_from_), static_cast<off_t>(end - writeback_from_),
                    SYNC_FILE_RANGE_WRITE);
  writeback_from_ = end;
}

Status FileWriter::write_out(const std::uint8_t* p, std::size_t n) {
  const std::uint64_t at = file_offset_ + position_ - used_;  // of p
  if (const int error = write_fully(fd_, p, n, positioned_ ? std::optional(at) : std::nullopt))
    return fail_system(error, msg::kCannotWrite);
  return {};
}

Status FileWriter::flush() {
  if (status_ && used_ > 0) status_ = write_out(buffer_.data(), used_);
  used_ = 0;
  if (status_) start_writeback();
  return status_;
}

void FileWriter::put_slow(const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    if (room() == 0 && !flush()) return;
    const std::size_t take = std::min(n, room());
    std::memcpy(buffer_.data() + used_, p, take);
    used_ += take;
    position_ += take;
    p += take;
    n -= take;
  }
}

void FileWriter::put_zeros(std::size_t n) {
  while (n > 0) {
    if (room() == 0 && !flush()) return;
    const std::size_t take = std::min(n, room());
    std::memset(buffer_.data() + used_, 0, take);
    used_ += take;
    position_ += take;
    n -= take;
  }
}

void FileWriter::put(ByteView v) {
  if (v.empty()) return;
  for (const InputFile* source : sources_) {
    if (source->holds(v)) {
      copy_from(*source, source->offset_of(v.data()), v.size());
      return;
    }
  }
  put_bytes(v.data(), v.size());
}

bool FileWriter::copy_in_kernel(const InputFile& source, std::uint64_t offset, std::uint64_t length) {
  if (!flush()) return true;
  auto in = static_cast<loff_t>(offset);
  std::uint64_t left = length;
  while (left > 0) {
    // In steps, each handed to the disk as it is done.
    const auto step = static_cast<std::size_t>(std::min(left, kWriteback));
    const ssize_t n = ::copy_file_range(source.fd(), &in, fd_, nullptr, step, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (left == length && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                             errno == EOPNOTSUPP || errno == EBADF || errno == EPERM)) {
        kernel_copy_ = false;  // this pair of files is copied through the buffer
        return false;
      }
      status_ = fail_system(errno, msg::kCannotCopy);
      return true;
    }
    if (n == 0) {
      status_ = input_shrank(offset + length);
      return true;
    }
    left -= static_cast<std::uint64_t>(n);
    position_ += static_cast<std::uint64_t>(n);
    start_writeback();
  }
  return true;
}

void FileWriter::copy_from(const InputFile& source, std::uint64_t offset, std::uint64_t length) {
  if (!status_) return;
  const bool near = offset >= last_end_ && offset - last_end_ <= kNearby;
  last_end_ = offset + length;
  if (window_ && &window_->file() == &source && window_->holds(offset, length)) {
    put_bytes(window_->at(offset, static_cast<std::size_t>(length)), static_cast<std::size_t>(length));
    return;
  }
  if (length >= kKernelCopy && kernel_copy_ && copy_in_kernel(source, offset, length)) return;
  if (length >= kDirectRead || !near) {
    // Straight into the output buffer.
    while (length > 0) {
      if (room() == 0 && !flush()) return;
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(length, room()));
      if (Status read = source.read(offset, buffer_.data() + used_, take); !read) {
        status_ = read;
        return;
      }
      used_ += take;
      position_ += take;
      offset += take;
      length -= take;
    }
    return;
  }
  // A small piece near the last: read a window of what follows, for the pieces to come.
  if (!window_ || &window_->file() != &source) window_.emplace(source);
  const std::uint8_t* bytes = window_->at(offset, static_cast<std::size_t>(length));
  if (!bytes) {
    status_ = window_->status();
    return;
  }
  put_bytes(bytes, static_cast<std::size_t>(length));
}

Status FileWriter::patch(std::uint64_t at, ByteView bytes) {
  if (!status_) return status_;
  if (Status written = write_all_at(fd_, bytes.data(), bytes.size(), at); !written) return status_ = written;
  return {};
}

}  // namespace plexo

namespace plexo {

std::unique_ptr<DirectWrites> DirectWrites::open(int fd) {
  if (!FileWriter::writes_at_offsets(fd)) return nullptr;
  // A second open file description of the same file: the caller's keeps its flags.
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const int direct_fd = ::open(path.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC);
  if (direct_fd < 0) return nullptr;
  struct stat a {}, b {};
  if (::fstat(fd, &a) != 0 || ::fstat(direct_fd, &b) != 0 || a.st_dev != b.st_dev || a.st_ino != b.st_ino) {
    ::close(direct_fd);
    return nullptr;
  }
  std::unique_ptr<Worker> worker = Worker::start();
  if (!worker) {
    ::close(direct_fd);
    return nullptr;
  }
  return std::unique_ptr<DirectWrites>(new DirectWrites(fd, direct_fd, std::move(worker)));
}

DirectWrites::~DirectWrites() {
  worker_.reset();
  ::close(direct_fd_);
}

std::uint64_t DirectWrites::submit(const std::uint8_t* bytes, std::size_t length, std::uint64_t offset) {
  return worker_->submit([this, bytes, length, offset] { write(bytes, length, offset); });
}

void DirectWrites::write_later(std::uint64_t offset, ByteView bytes) {
  if (!bytes.empty()) later_.emplace_back(offset, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

void DirectWrites::write(const std::uint8_t* bytes, std::size_t length, std::uint64_t offset) {
  if (!status_) return;
  int error = through_cache_ ? EINVAL : write_fully(direct_fd_, bytes, length, offset);
  // A file system that refuses this direct write takes it (again, whole) through the cache.
  if (error == EINVAL) {
    through_cache_ = true;
    error = write_fully(fd_, bytes, length, offset);
  }
  if (error) status_ = fail_system(error, msg::kCannotWrite);
}

Status DirectWrites::finish() {
  worker_->wait_all();
  if (!status_) return status_;
  for (const auto& [offset, bytes] : later_)
    if (Status written = write_all_at(fd_, bytes.data(), bytes.size(), offset); !written) return status_ = written;
  later_.clear();
  return status_;
}

DirectRegionWriter::DirectRegionWriter(DirectWrites& writes, std::uint64_t begin, std::size_t buffer_size)
    : writes_(writes),
      size_(std::max<std::size_t>(buffer_size / DirectWrites::kBlock, 1) * DirectWrites::kBlock),
      base_(begin / DirectWrites::kBlock * DirectWrites::kBlock),
      used_(static_cast<std::size_t>(begin - base_)),
      own_from_(used_) {
  for (auto& buffer : buffers_) {
    buffer = window_buffer(size_);
    if (!buffer) throw std::bad_alloc();
  }
}

DirectRegionWriter::~DirectRegionWriter() {
  for (const std::uint64_t ticket : tickets_) writes_.wait(ticket);
}

void DirectRegionWriter::put_slow(ByteView v) {
  while (!v.empty()) {
    if (used_ == size_) hand_over();
    const std::size_t take = std::min(v.size(), size_ - used_);
    std::memcpy(current() + used_, v.data(), take);
    used_ += take;
    v = v.subspan(take);
  }
}

void DirectRegionWriter::hand_over() {
  constexpr std::size_t kBlock = DirectWrites::kBlock;
  // [own_from_, used_) is this region's: whole blocks go direct, the bytes of a block it
  // shares with the region before or after go through the page cache at the end.
  const std::size_t first = std::min((own_from_ + kBlock - 1) / kBlock * kBlock, used_);
  const std::size_t last = std::max(used_ / kBlock * kBlock, first);
  std::uint8_t* bytes = current();
  writes_.write_later(base_ + own_from_, ByteView(bytes + own_from_, first - own_from_));
  writes_.write_later(base_ + last, ByteView(bytes + last, used_ - last));
  if (last > first) tickets_[current_] = writes_.submit(bytes + first, last - first, base_ + first);
  // The next bytes go into the other buffer, from the block where this one's tail began (the
  // tail itself is kept for later, so that block is shared).
  const std::size_t tail = used_ - last;
  current_ ^= 1;
  writes_.wait(tickets_[current_]);
  base_ += last;
  own_from_ = tail;
  used_ = tail;
}

}  // namespace plexo
