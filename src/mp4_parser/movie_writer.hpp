// The one writer of progressive MP4 files (ftyp, moov, mdat). Callers describe the movie as
// a box tree whose sample tables are generated from a neutral track model; the writer lays
// the whole file out before it writes a byte (every box size, every chunk offset, 32- or
// 64-bit offsets and mdat header, the exact file size), then writes it front to back into a
// span the caller provides, in one pass.
//
//   MovieModel model;                    // ftyp brands, tracks, the moov box tree
//   auto plan = PLEXO_TRY(MoviePlan::lay_out(std::move(model)));
//   std::vector<std::uint8_t> out(plan.size());   // or a Python bytes object of plan.size()
//   PLEXO_CHECK(plan.write(out));
//
// Media bytes are copied once, from where they lie (the input, or a buffer the caller built
// and keeps alive) into the output.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/buffer.hpp"
#include "core/bytes.hpp"
#include "core/error.hpp"
#include "core/file_io.hpp"
#include "mp4_parser/boxes.hpp"

namespace plexo::mp4 {

// One sample of a track to write: 16 bytes, so that a track of millions of samples stays
// small next to the file written from it.
struct OutputSample {
  std::uint32_t size = 0;               // bytes
  std::uint32_t duration = 0;           // media timescale
  std::int32_t composition_offset = 0;  // presentation minus decode time
  bool sync = true;
  std::uint8_t leading = 0;  // is_leading of the sample flags: 1 or 3 for a leading picture
};

// How a track's samples are grouped into chunks. Either way a track's samples lie one after
// another in the mdat, tracks in model order.
enum class ChunkLayout : std::uint8_t {
  kOneChunk,        // every sample in one chunk: one stsc entry, one chunk offset
  kChunkPerSample,  // one chunk per sample: stsc (1, 1, 1), one offset per sample
};

// A track's samples and where their bytes are.
struct TrackSamples {
  std::vector<OutputSample> samples;
  // Instead of `samples`, for tracks of millions of samples whose records follow from tables
  // the caller keeps (the access units and frames of a transport stream): how many there are,
  // and a reader that fills `out` with the records from sample `first` on. The progressive
  // writer reads them in order, a block at a time, so that no list of records is held; the
  // fragment writer reads them into `samples` first.
  std::uint64_t derived_count = 0;
  std::function<void(std::uint64_t first, std::span<OutputSample> out)> read_samples;
  // The samples' bytes in sample order, as pieces of the input or of buffers the caller
  // keeps alive; a sample may span several pieces and a piece several samples. The pieces
  // together hold exactly the sum of the sample sizes.
  std::vector<ByteView> media;
  // Instead of `media`: called once while the file is written, hands the samples' bytes in
  // sample order to its sink as pieces that live until the sink returns. For tracks of many
  // small pieces (a NAL length, then the unit's spans in the packets of a transport stream),
  // which need no list of views then. The pieces must add up to the sum of the sample sizes.
  std::function<void(const std::function<void(ByteView)>& sink)> gather_media;
  ChunkLayout chunks = ChunkLayout::kOneChunk;
  // A sample description of several entries: the sample at which each entry after the first
  // begins (entry 2, 3, ...), increasing, each after the first sample and before the end. A
  // chunk never mixes entries: with kOneChunk each entry's samples form a chunk of their own.
  std::vector<std::uint64_t> description_starts;
  // Write a sync sample table (stss) listing the sync samples; without one every sample
  // counts as a sync sample.
  bool sync_table = true;
  // Negative composition offsets: kSigned writes them as they are (ctts version 1);
  // kRaise adds the most negative one's magnitude to every offset (ctts version 0), which
  // keeps the samples' presentation order and spacing and the times readers report for a
  // fragmented source that carried them signed.
  enum class NegativeOffsets : std::uint8_t { kSigned, kRaise } negative_offsets = NegativeOffsets::kSigned;
  // Payload of the stsd box (version, flags, entry count, sample entries); empty: no stsd.
  ByteView sample_description;

  std::uint64_t media_bytes() const;
  // The sum of the durations, in the media timescale.
  std::uint64_t duration() const;
  std::uint64_t sample_count() const { return read_samples ? derived_count : samples.size(); }
  // Calls visit(const OutputSample&) for every sample in order, whichever way they are held.
  template <class Visit>
  void for_each_sample(Visit&& visit) const {
    if (!read_samples) {
      for (const OutputSample& s : samples) visit(s);
      return;
    }
    OutputSample block[1024];
    for (std::uint64_t first = 0; first < derived_count; first += std::size(block)) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(std::size(block), derived_count - first));
      read_samples(first, std::span<OutputSample>(block, n));
      for (std::size_t i = 0; i < n; ++i) visit(block[i]);
    }
  }
  // Reads derived samples into `samples`.
  void hold_samples();
};

// The movie box as a tree of boxes. A node is a container of children, a box written from
// bytes (viewed, or owned by the node), or the generated sample table (stbl) of a track.
class BoxNode {
 public:
  BoxNode() = default;  // an empty container without a type: a placeholder
  static BoxNode container(FourCC type);
  // A box with this payload; the bytes must outlive the write.
  static BoxNode viewed(FourCC type, ByteView payload);
  // A whole box already encoded (header included), such as a typed box's write(): the node
  // owns it.
  static BoxNode encoded(Buffer box);
  template <class TypedBox>
  static BoxNode typed(const TypedBox& box) {
    Buffer bytes;
    box.write(bytes);
    return encoded(std::move(bytes));
  }
  // The stbl of model track `track`.
  static BoxNode sample_table(std::size_t track);

  BoxNode& add(BoxNode child);
  // Replaces child `index` (a placeholder added before its content was known).
  void set_child(std::size_t index, BoxNode child) { children_.at(index) = std::move(child); }
  FourCC type() const { return type_; }

 private:
  friend class MoviePlan;
  enum class Kind : std::uint8_t { kContainer, kViewed, kEncoded, kSampleTable };
  Kind kind_ = Kind::kContainer;
  FourCC type_;
  ByteView bytes_;
  std::shared_ptr<Buffer> encoded_;
  std::size_t track_ = 0;
  std::vector<BoxNode> children_;
  std::uint64_t total_ = 0;    // laid out: the whole box, header included
  std::uint64_t payload_ = 0;  // laid out: the bytes after the header
};

struct FileType {
  FourCC major_brand = "isom";
  std::uint32_t minor_version = 0x200;
  std::vector<FourCC> compatible_brands;
};

struct MovieModel {
  FileType file_type;
  std::vector<TrackSamples> tracks;
  BoxNode moov = BoxNode::container("moov");
  // The initialisation segment of a fragmented movie: the samples follow in fragments
  // (fragment_writer.hpp), so the tracks hold none, their chunk tables are empty and no
  // mdat is written.
  bool fragmented = false;
};

// A movie laid out: sizes and offsets fixed, ready to be written.
class MoviePlan {
 public:
  // Fails when a track holds 2^32 samples or more, or when its media pieces do not add up
  // to its sample sizes (for gathered media, write() fails instead).
  static Result<MoviePlan> lay_out(MovieModel model);

  // The exact number of bytes write() writes.
  std::uint64_t size() const { return size_; }
  // Whether chunk offsets take 64 bits (co64) and the mdat a 64-bit size.
  bool large_offsets() const { return large_offsets_; }
  bool large_mdat() const { return mdat_header_ == 16; }
  // File position of track `track`'s first media byte.
  std::uint64_t media_offset(std::size_t track) const { return media_offsets_.at(track); }

  // Writes the file into `out`, which must be size() bytes. Fails (and the bytes are not a
  // file) when the writing does not end exactly at the end of `out`.
  Status write(std::span<std::uint8_t> out) const;
  // The same into a file, front to back; media that views an input file is copied from it.
  Status write(FileWriter& out) const;
  // The same into a new buffer.
  Result<Buffer> write() const;
  // The file up to its media: ftyp and moov, all that a reader of the movie looks at.
  Result<Buffer> write_movie() const;
  // Into a file, everything before the media (ftyp, moov, the mdat header), for a caller
  // that writes each track's media at media_offset() itself.
  Status write_head(FileWriter& out) const;

 private:
  struct TableCounts {  // entry counts of a track's generated tables
    std::uint32_t stts = 0, ctts = 0, stss = 0;
    bool ctts_signed = false;
    bool any_offset = false;
    bool any_leading = false;  // some sample is a leading picture: an sdtp says which
    std::int64_t raise = 0;  // added to every offset
  };
  std::uint64_t lay_out_node(BoxNode& node);
  std::uint64_t sample_table_payload(std::size_t track) const;
  template <class Sink> void write_node(Sink& out, const BoxNode& node) const;
  template <class Sink> Status write_to(Sink& out) const;
  template <class Sink> void write_movie_to(Sink& out) const;
  template <class Sink> void write_sample_table(Sink& out, std::size_t track) const;

  MovieModel model_;
  std::vector<TableCounts> counts_;
  std::vector<std::uint64_t> media_offsets_;
  std::uint64_t ftyp_size_ = 0;
  std::uint64_t media_size_ = 0;
  std::uint64_t mdat_header_ = 8;
  bool large_offsets_ = false;
  std::uint64_t size_ = 0;
};

// What an operation that writes a whole file hands back: the size first, then the writing
// into a span of that size (so the caller can allocate the result object itself).
class PlannedOutput {
 public:
  virtual ~PlannedOutput() = default;
  virtual std::uint64_t size() const = 0;
  virtual Status write(std::span<std::uint8_t> out) = 0;
  // Writes the output into a file, front to back. Outputs that can write in bounded memory
  // override this; the fallback writes the whole output into memory first.
  virtual Status write(FileWriter& out);
};

// Writes a planned output into a new buffer.
Result<Buffer> write_planned(PlannedOutput& planned);

// A PlannedOutput over a MoviePlan (or a FragmentPlan) together with whatever the plan's views
// point into.
template <class Keep, class Plan = MoviePlan>
class PlannedMovie final : public PlannedOutput {
 public:
  PlannedMovie(Keep keep, Plan plan) : keep_(std::move(keep)), plan_(std::move(plan)) {}
  std::uint64_t size() const override { return plan_.size(); }
  Status write(std::span<std::uint8_t> out) override { return plan_.write(out); }
  // A plan that cannot write into a file front to back writes through memory.
  Status write(FileWriter& out) override {
    if constexpr (requires(const Plan& plan, FileWriter& file) { plan.write(file); }) return plan_.write(out);
    else return PlannedOutput::write(out);
  }

 private:
  Keep keep_;
  Plan plan_;
};

// A track's samples as its sample tables would list them, counted where they were made: what
// a track of a movie written with empty tables stands for (the probe of a transport stream).
struct SampleSummary {
  std::uint64_t samples = 0;
  std::uint64_t key_frames = 0;  // sync samples; every sample when the track marks none
  std::uint64_t duration = 0;    // of all samples, media timescale
};

}  // namespace plexo::mp4
