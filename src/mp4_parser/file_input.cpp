#include "mp4_parser/file_input.hpp"

#include "core/messages.hpp"
#include "mp4_parser/operations.hpp"

namespace plexo::mp4 {

Result<std::unique_ptr<StagedFile>> StagedFile::stage(int fd) {
  std::unique_ptr<StagedFile> staged(new StagedFile(PLEXO_TRY(InputFile::open(fd))));
  InputFile& file = staged->file_;
  // The strict scan, one header at a time: each is loaded, read and let go.
  std::vector<Box> boxes;
  BoxCursor cursor(file.view(), kTopLevelBoxes);
  for (;;) {
    const std::uint64_t at = cursor.position();
    PLEXO_CHECK(file.load(at, 16));
    auto box = cursor.next();
    file.release(at, 16);
    if (!box) {
      staged->top_ = Unexpected<Error>{std::move(box).error()};
      return staged;
    }
    if (!*box) break;
    boxes.push_back(**box);
  }
  // What the operations read besides the fragments: the movie box (the first, the one
  // readers play) and the segment indexes.
  bool have_movie = false;
  for (const Box& box : boxes) {
    const bool movie = box.type == FourCC("moov") && !have_movie;
    have_movie |= movie;
    if (movie || box.type == FourCC("sidx")) PLEXO_CHECK(file.keep(box.offset, box.end() - box.offset));
  }
  staged->top_ = std::move(boxes);
  return staged;
}

Result<bool> StagedFile::opens_with_box() {
  PLEXO_CHECK(file_.load(0, 16));
  const bool opens = mp4::opens_with_box(file_.view());
  file_.release(0, 16);
  return opens;
}

namespace {

// Writes a plan whose inputs are `files` once planning no longer needs their fragments.
Result<std::uint64_t> write_planned(Result<std::unique_ptr<PlannedOutput>> planned,
                                    std::initializer_list<StagedFile*> files, int out) {
  if (!planned) return Unexpected<Error>{std::move(planned).error()};
  std::vector<const InputFile*> sources;
  for (StagedFile* file : files) {
    file->release_all();
    sources.push_back(&file->file());
  }
  FileWriter writer(out, std::move(sources));
  PLEXO_CHECK(planned.value()->write(writer));
  return planned.value()->size();
}

}  // namespace

Result<std::uint64_t> defragment_file(int in, int out) {
  auto staged = PLEXO_TRY(StagedFile::stage(in));
  return write_planned(plan_defragment(staged->input()), {staged.get()}, out);
}

Result<std::uint64_t> mux_files(int video, int audio, int out, CollidingTrackIds colliding) {
  auto video_file = PLEXO_TRY(StagedFile::stage(video));
  auto audio_file = PLEXO_TRY(StagedFile::stage(audio));
  return write_planned(plan_mux_tracks(video_file->input(), audio_file->input(), colliding),
                       {video_file.get(), audio_file.get()}, out);
}

Result<std::uint64_t> reset_file(int in, int out) {
  auto staged = PLEXO_TRY(StagedFile::stage(in));
  return write_planned(plan_reset_timeline(staged->input()), {staged.get()}, out);
}

Result<ProbedFile> probe_mp4_file(int in) {
  auto staged = PLEXO_TRY(StagedFile::stage(in));
  if (!PLEXO_TRY(staged->opens_with_box())) return fail(msg::kNotMedia);
  return probe_mp4(staged->input());
}

}  // namespace plexo::mp4
