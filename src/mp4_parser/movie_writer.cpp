#include "mp4_parser/movie_writer.hpp"

#include <algorithm>

#include "core/messages.hpp"
#include "core/span_writer.hpp"

namespace plexo::mp4 {

std::uint64_t TrackSamples::media_bytes() const {
  std::uint64_t total = 0;
  for_each_sample([&](const OutputSample& s) { total += s.size; });
  return total;
}

std::uint64_t TrackSamples::duration() const {
  std::uint64_t total = 0;
  for_each_sample([&](const OutputSample& s) { total += s.duration; });
  return total;
}

void TrackSamples::hold_samples() {
  if (!read_samples) return;
  samples.resize(static_cast<std::size_t>(derived_count));
  for (std::uint64_t first = 0; first < derived_count; first += 4096)
    read_samples(first, std::span<OutputSample>(samples).subspan(static_cast<std::size_t>(first),
                 static_cast<std::size_t>(std::min<std::uint64_t>(4096, derived_count - first))));
  read_samples = nullptr;
  derived_count = 0;
}

BoxNode BoxNode::container(FourCC type) {
  BoxNode node;
  node.kind_ = Kind::kContainer;
  node.type_ = type;
  return node;
}

BoxNode BoxNode::viewed(FourCC type, ByteView payload) {
  BoxNode node;
  node.kind_ = Kind::kViewed;
  node.type_ = type;
  node.bytes_ = payload;
  return node;
}

BoxNode BoxNode::encoded(Buffer box) {
  BoxNode node;
  node.kind_ = Kind::kEncoded;
  if (box.size() >= 8) node.type_ = FourCC::from(box.view().subspan(4, 4));
  node.encoded_ = std::make_shared<Buffer>(std::move(box));
  return node;
}

BoxNode BoxNode::sample_table(std::size_t track) {
  BoxNode node;
  node.kind_ = Kind::kSampleTable;
  node.type_ = "stbl";
  node.track_ = track;
  return node;
}

BoxNode& BoxNode::add(BoxNode child) {
  children_.push_back(std::move(child));
  return children_.back();
}

namespace {

// Calls emit(count, value) for each run of consecutive samples with equal `field`.
template <class Field, class Emit>
void for_each_run(const TrackSamples& t, Field field, Emit emit) {
  std::uint32_t count = 0;
  decltype(field(OutputSample{})) value{};
  t.for_each_sample([&](const OutputSample& s) {
    const auto v = field(s);
    if (count > 0 && v == value) {
      ++count;
      return;
    }
    if (count > 0) emit(count, value);
    value = v;
    count = 1;
  });
  if (count > 0) emit(count, value);
}

constexpr auto kDuration = [](const OutputSample& s) { return s.duration; };
constexpr auto kOffset = [](const OutputSample& s) { return s.composition_offset; };

std::uint32_t chunk_count(const TrackSamples& t, bool fragmented) {
  if (fragmented) return 0;
  return t.chunks == ChunkLayout::kOneChunk ? static_cast<std::uint32_t>(1 + t.description_starts.size())
                                            : static_cast<std::uint32_t>(t.sample_count());
}

// Whether the entries' first samples lie in order within the track.
bool valid_description_starts(const TrackSamples& t) {
  std::uint64_t previous = 0;
  for (std::uint64_t start : t.description_starts) {
    if (start <= previous || start >= t.sample_count()) return false;
    previous = start;
  }
  return true;
}

}  // namespace

std::uint64_t MoviePlan::sample_table_payload(std::size_t track) const {
  const TrackSamples& t = model_.tracks[track];
  const TableCounts& c = counts_[track];
  const std::uint64_t n = t.sample_count();
  std::uint64_t size = 0;
  if (!t.sample_description.empty()) size += box_length(t.sample_description.size());
  size += table_box_size(kTimeToSample, c.stts);
  if (c.any_offset) size += table_box_size(kCompositionOffsets, c.ctts);
  if (t.sync_table) size += table_box_size(kSyncSamples, c.stss);
  if (c.any_leading) size += box_length(4 + n);  // sdtp: a byte a sample
  size += table_box_size(kSampleToChunk, model_.fragmented ? 0 : 1 + t.description_starts.size());
  size += table_box_size(kSampleSizes, n);
  size += table_box_size(large_offsets_ ? kLargeChunkOffsets : kChunkOffsets,
                         chunk_count(t, model_.fragmented));
  return size;
}

std::uint64_t MoviePlan::lay_out_node(BoxNode& node) {
  switch (node.kind_) {
    case BoxNode::Kind::kViewed:
      node.payload_ = node.bytes_.size();
      node.total_ = box_length(node.payload_);
      break;
    case BoxNode::Kind::kEncoded:
      node.total_ = node.encoded_->size();
      break;
    case BoxNode::Kind::kSampleTable:
      node.payload_ = sample_table_payload(node.track_);
      node.total_ = box_length(node.payload_);
      break;
    case BoxNode::Kind::kContainer: {
      std::uint64_t payload = 0;
      for (BoxNode& child : node.children_) payload += lay_out_node(child);
      node.payload_ = payload;
      node.total_ = box_length(payload);
      break;
    }
  }
  return node.total_;
}

Result<MoviePlan> MoviePlan::lay_out(MovieModel model) {
  MoviePlan plan;
  plan.model_ = std::move(model);
  std::vector<std::uint64_t> media_bytes;
  for (const TrackSamples& t : plan.model_.tracks) {
    if (!fits_u32(t.sample_count())) return fail(msg::kTooManySamples);
    if (!valid_description_starts(t)) return fail(msg::kLayoutMismatch);
    const std::uint64_t bytes = t.media_bytes();
    media_bytes.push_back(bytes);
    if (!t.gather_media) {
      std::uint64_t pieces = 0;
      for (ByteView piece : t.media) pieces += piece.size();
      if (pieces != bytes) return fail(msg::kMediaSizeMismatch);
    }
    plan.media_size_ += bytes;

    TableCounts c;
    for_each_run(t, kDuration, [&](std::uint32_t, std::uint32_t) { ++c.stts; });
    std::int32_t lowest = 0;
    t.for_each_sample([&](const OutputSample& s) {
      c.any_offset |= s.composition_offset != 0;
      lowest = std::min(lowest, s.composition_offset);
      c.stss += s.sync;
      c.any_leading |= s.leading != 0;
    });
    if (t.negative_offsets == TrackSamples::NegativeOffsets::kRaise) c.raise = -std::int64_t{lowest};
    else c.ctts_signed = lowest < 0;
    if (c.any_offset) for_each_run(t, kOffset, [&](std::uint32_t, std::int32_t) { ++c.ctts; });
    plan.counts_.push_back(c);
  }

  plan.ftyp_size_ = 16 + 4 * plan.model_.file_type.compatible_brands.size();
  if (plan.model_.fragmented && plan.media_size_ != 0) return fail(msg::kFragmentedMovieWithSamples);
  plan.mdat_header_ = plan.model_.fragmented ? 0 : box_header_length(plan.media_size_);
  // Chunk offsets take 64 bits when the file reaches past 4 GiB; the movie is then laid out
  // again with the wider table.
  for (bool large : {false, true}) {
    plan.large_offsets_ = large;
    const std::uint64_t moov = plan.lay_out_node(plan.model_.moov);
    plan.size_ = plan.ftyp_size_ + moov + plan.mdat_header_ + plan.media_size_;
    if (fits_u32(plan.size_)) break;
  }
  std::uint64_t offset = plan.size_ - plan.media_size_;
  for (std::size_t i = 0; i < plan.model_.tracks.size(); ++i) {
    plan.media_offsets_.push_back(offset);
    offset += media_bytes[i];
  }
  return plan;
}

template <class Sink>
void MoviePlan::write_sample_table(Sink& out, std::size_t track) const {
  const TrackSamples& t = model_.tracks[track];
  const TableCounts& c = counts_[track];
  const auto n = static_cast<std::uint32_t>(t.sample_count());
  put_box_header(out, "stbl", sample_table_payload(track));  // as laid out
  if (!t.sample_description.empty()) put_box(out, "stsd", t.sample_description);

  put_table_header(out, kTimeToSample, c.stts);
  for_each_run(t, kDuration, [&](std::uint32_t count, std::uint32_t delta) {
    out.put_u32(count);
    out.put_u32(delta);
  });
  if (c.any_offset) {
    // Signed offsets (version 1) keep every presentation time as the source gave it.
    put_table_header(out, kCompositionOffsets, c.ctts, c.ctts_signed ? 1 : 0);
    for_each_run(t, kOffset, [&](std::uint32_t count, std::int32_t offset) {
      out.put_u32(count);
      out.put_u32(static_cast<std::uint32_t>(offset + c.raise));
    });
  }
  if (t.sync_table) {
    put_table_header(out, kSyncSamples, c.stss);
    std::uint32_t number = 0;
    t.for_each_sample([&](const OutputSample& s) {
      ++number;
      if (s.sync) out.put_u32(number);
    });
  }
  if (c.any_leading) {
    // is_leading, then sample_depends_on as the fragments' sample flags give them
    put_box_header(out, "sdtp", 4 + std::uint64_t{n});
    out.put_u32(0);
    t.for_each_sample([&](const OutputSample& s) {
      out.put_u8(static_cast<std::uint8_t>((s.leading & 3u) << 6 | (s.sync ? 2u : 1u) << 4));
    });
  }
  if (model_.fragmented) {
    put_table_header(out, kSampleToChunk, 0);
  } else {
    // One entry per sample description: its first chunk, samples per chunk, its index.
    const std::size_t entries = t.description_starts.size() + 1;
    put_table_header(out, kSampleToChunk, static_cast<std::uint32_t>(entries));
    for (std::size_t k = 0; k < entries; ++k) {
      const std::uint64_t first = k == 0 ? 0 : t.description_starts[k - 1];
      const std::uint64_t end = k + 1 < entries ? t.description_starts[k] : n;
      const bool one_chunk = t.chunks == ChunkLayout::kOneChunk;
      out.put_u32(static_cast<std::uint32_t>(one_chunk ? k + 1 : first + 1));
      out.put_u32(static_cast<std::uint32_t>(one_chunk ? end - first : 1));
      out.put_u32(static_cast<std::uint32_t>(k + 1));
    }
  }

  put_table_header(out, kSampleSizes, n);
  t.for_each_sample([&](const OutputSample& s) { out.put_u32(s.size); });

  put_table_header(out, large_offsets_ ? kLargeChunkOffsets : kChunkOffsets,
                   chunk_count(t, model_.fragmented));
  if (model_.fragmented) return;
  std::uint64_t offset = media_offsets_[track];
  auto put_offset = [&](std::uint64_t value) {
    if (large_offsets_) out.put_u64(value);
    else out.put_u32(static_cast<std::uint32_t>(value));
  };
  if (t.chunks == ChunkLayout::kOneChunk && t.description_starts.empty()) {
    put_offset(offset);
  } else if (t.chunks == ChunkLayout::kOneChunk) {
    // A chunk of each entry's samples, one after another.
    put_offset(offset);
    std::uint64_t sample = 0;
    auto next = t.description_starts.begin();
    t.for_each_sample([&](const OutputSample& s) {
      offset += s.size;
      if (next != t.description_starts.end() && ++sample == *next) {
        put_offset(offset);
        ++next;
      }
    });
  } else {
    t.for_each_sample([&](const OutputSample& s) {
      put_offset(offset);
      offset += s.size;
    });
  }
}

template <class Sink>
void MoviePlan::write_node(Sink& out, const BoxNode& node) const {
  switch (node.kind_) {
    case BoxNode::Kind::kViewed:
      put_box(out, node.type_, node.bytes_);
      break;
    case BoxNode::Kind::kEncoded:
      out.put(node.encoded_->view());
      break;
    case BoxNode::Kind::kSampleTable:
      write_sample_table(out, node.track_);
      break;
    case BoxNode::Kind::kContainer:
      put_box_header(out, node.type_, node.payload_);
      for (const BoxNode& child : node.children_) write_node(out, child);
      break;
  }
}

Status MoviePlan::write(std::span<std::uint8_t> out) const {
  if (out.size() != size_) return fail(msg::kOutputSizeMismatch);
  SpanWriter w(out);
  return write_to(w);
}

Status MoviePlan::write(FileWriter& out) const {
  Status written = write_to(out);
  if (!out.status()) return out.status();
  PLEXO_CHECK(written);
  return out.flush();
}

Status PlannedOutput::write(FileWriter& out) {
  Buffer whole;
  whole.vector().resize(static_cast<std::size_t>(size()));
  PLEXO_CHECK(write(std::span<std::uint8_t>(whole.data(), whole.size())));
  out.put(whole.view());
  return out.flush();
}

Status MoviePlan::write_head(FileWriter& out) const {
  write_movie_to(out);
  if (!model_.fragmented) put_box_header(out, "mdat", media_size_);
  if (!out.status()) return out.status();
  if (out.position() != size_ - media_size_) return fail(msg::kLayoutMismatch);
  return out.flush();
}

template <class Sink>
void MoviePlan::write_movie_to(Sink& w) const {
  put_box_header(w, "ftyp", ftyp_size_ - 8);
  w.put_fourcc(model_.file_type.major_brand);
  w.put_u32(model_.file_type.minor_version);
  for (FourCC brand : model_.file_type.compatible_brands) w.put_fourcc(brand);
  write_node(w, model_.moov);
}

template <class Sink>
Status MoviePlan::write_to(Sink& w) const {
  write_movie_to(w);
  if (!model_.fragmented) put_box_header(w, "mdat", media_size_);
  for (std::size_t i = 0; i < model_.tracks.size(); ++i) {
    const TrackSamples& t = model_.tracks[i];
    if (t.gather_media) {
      t.gather_media([&w](ByteView piece) { w.put(piece); });
      const std::uint64_t end = i + 1 < media_offsets_.size() ? media_offsets_[i + 1] : size_;
      if (w.overrun() || w.position() != end) return fail(msg::kMediaSizeMismatch);
    } else {
      for (ByteView piece : t.media) w.put(piece);
    }
  }
  if (w.overrun() || w.position() != size_) return fail(msg::kLayoutMismatch);
  return {};
}

Result<Buffer> write_planned(PlannedOutput& planned) {
  Buffer out;
  out.vector().resize(static_cast<std::size_t>(planned.size()));
  PLEXO_CHECK(planned.write(std::span<std::uint8_t>(out.data(), out.size())));
  return out;
}

Result<Buffer> MoviePlan::write_movie() const {
  Buffer out;
  out.vector().resize(static_cast<std::size_t>(ftyp_size_ + model_.moov.total_));
  SpanWriter w(std::span<std::uint8_t>(out.data(), out.size()));
  write_movie_to(w);
  if (w.overrun() || w.position() != out.size()) return fail(msg::kLayoutMismatch);
  return out;
}

Result<Buffer> MoviePlan::write() const {
  Buffer out;
  out.vector().resize(static_cast<std::size_t>(size_));
  PLEXO_CHECK(write(std::span<std::uint8_t>(out.data(), out.size())));
  return out;
}

}  // namespace plexo::mp4
