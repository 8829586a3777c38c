// An ISO BMFF file read in bounded memory: its top level is walked header by header, the
// movie box and segment indexes are kept, and each movie fragment is loaded only while an
// operation reads it (a BoxLoader for MediaInput). The media is never read here: the
// FileWriter copies it from the file by offset.
#pragma once

#include <memory>

#include "core/file_io.hpp"
#include "mp4_parser/media_input.hpp"
#include "mp4_parser/operations.hpp"
#include "mp4_parser/probe.hpp"

namespace plexo::mp4 {

class StagedFile final : public BoxLoader {
 public:
  // Walks the top level of the file open at `fd` (kept open by the caller).
  static Result<std::unique_ptr<StagedFile>> stage(int fd);

  MediaInput input() { return MediaInput(file_.view(), &top_, this); }
  const InputFile& file() const { return file_; }
  // Gives back the memory of everything but the kept boxes (once planning is done).
  void release_all() { file_.release_all(); }
  // Whether the file opens with a box header, as probe_mp4 asks of bytes in memory.
  Result<bool> opens_with_box();

  Status load(const Box& box) override { return file_.load(box.offset, box.end() - box.offset); }
  void release(const Box& box) override { file_.release(box.offset, box.end() - box.offset); }

 private:
  explicit StagedFile(InputFile file) : file_(std::move(file)), top_(std::vector<Box>{}) {}

  InputFile file_;
  Result<std::vector<Box>> top_;
};

// The file-to-file operations: read the input file(s) open at the given descriptors, write
// the output at `out`'s position (a new, empty file) and return its size. Nothing but tables
// is held in memory; the media goes from file to file.
Result<std::uint64_t> defragment_file(int in, int out);
Result<std::uint64_t> mux_files(int video, int audio, int out,
                                CollidingTrackIds colliding = CollidingTrackIds::kRefused);
Result<std::uint64_t> reset_file(int in, int out);

// probe_mp4 of the file open at `in`, read by seeking: its top-level headers, its movie box,
// and each movie fragment only while it is counted; the media is never read.
Result<ProbedFile> probe_mp4_file(int in);

}  // namespace plexo::mp4
