// Writers of the typed boxes of boxes.hpp (templates over the sink).
#pragma once

namespace plexo::mp4 {
namespace box_detail {

template <class Sink>
void put_time(Sink& out, std::uint8_t version, std::uint64_t value) {
  if (version == 1) out.put_u64(value);
  else out.put_u32(static_cast<std::uint32_t>(value));
}
template <class Sink>
void put_matrix(Sink& out, const Matrix& m) {
  for (std::uint32_t v : m) out.put_u32(v);
}

}  // namespace box_detail

template <class Sink>
void MovieHeader::write(Sink& out) const {
  const std::uint8_t v = version();
  put_full_box_header(out, "mvhd", payload_size(), v, 0);
  box_detail::put_time(out, v, creation_time);
  box_detail::put_time(out, v, modification_time);
  out.put_u32(timescale);
  box_detail::put_time(out, v, duration);
  out.put_u32(rate);
  out.put_u16(volume);
  out.put_zeros(10);
  box_detail::put_matrix(out, matrix);
  out.put_zeros(24);  // pre_defined
  out.put_u32(next_track_id);
}

template <class Sink>
void TrackHeader::write(Sink& out) const {
  const std::uint8_t v = version();
  put_full_box_header(out, "tkhd", payload_size(), v, flags);
  box_detail::put_time(out, v, creation_time);
  box_detail::put_time(out, v, modification_time);
  out.put_u32(track_id);
  out.put_u32(0);
  box_detail::put_time(out, v, duration);
  out.put_zeros(8);
  out.put_u16(layer);
  out.put_u16(alternate_group);
  out.put_u16(volume);
  out.put_u16(0);
  box_detail::put_matrix(out, matrix);
  out.put_u32(width);
  out.put_u32(height);
}

template <class Sink>
void MediaHeader::write(Sink& out) const {
  const std::uint8_t v = version();
  put_full_box_header(out, "mdhd", payload_size(), v, 0);
  box_detail::put_time(out, v, creation_time);
  box_detail::put_time(out, v, modification_time);
  out.put_u32(timescale);
  box_detail::put_time(out, v, duration);
  out.put_u16(language);
  out.put_u16(0);
}

template <class Sink>
void HandlerBox::write(Sink& out) const {
  put_full_box_header(out, "hdlr", payload_size(), 0, 0);
  out.put_u32(0);  // pre_defined
  out.put_fourcc(handler_type);
  out.put_zeros(12);
  if (name.empty()) out.put_u8(0);
  else out.put(name);
}

template <class Sink>
void EditList::write(Sink& out) const {
  const std::uint8_t v = version();
  put_full_box_header(out, "elst", payload_size(), v, 0);
  out.put_u32(static_cast<std::uint32_t>(entries.size()));
  for (const EditEntry& e : entries) {
    box_detail::put_time(out, v, e.segment_duration);
    box_detail::put_time(out, v, static_cast<std::uint64_t>(e.media_time));
    out.put_u16(static_cast<std::uint16_t>(e.rate_integer));
    out.put_u16(static_cast<std::uint16_t>(e.rate_fraction));
  }
}

template <class Sink>
void EditList::write_edts(Sink& out) const {
  put_box_header(out, "edts", 8 + payload_size());
  write(out);
}

template <class Sink>
void MovieFragmentHeader::write(Sink& out) const {
  put_full_box_header(out, "mfhd", payload_size(), 0, 0);
  out.put_u32(sequence_number);
}

template <class Sink>
void TrackFragmentHeader::write(Sink& out) const {
  using namespace tfhd_flags;
  std::uint32_t f = flags & ~(kBaseDataOffsetPresent | kSampleDescriptionIndexPresent |
                              kDefaultDurationPresent | kDefaultSizePresent | kDefaultFlagsPresent);
  if (base_data_offset) f |= kBaseDataOffsetPresent;
  if (sample_description_index) f |= kSampleDescriptionIndexPresent;
  if (default_duration) f |= kDefaultDurationPresent;
  if (default_size) f |= kDefaultSizePresent;
  if (default_flags) f |= kDefaultFlagsPresent;
  put_full_box_header(out, "tfhd", payload_size(), 0, f);
  out.put_u32(track_id);
  if (base_data_offset) out.put_u64(*base_data_offset);
  if (sample_description_index) out.put_u32(*sample_description_index);
  if (default_duration) out.put_u32(*default_duration);
  if (default_size) out.put_u32(*default_size);
  if (default_flags) out.put_u32(*default_flags);
}

template <class Sink>
void TrackFragmentDecodeTime::write(Sink& out) const {
  const std::uint8_t v = version();
  put_full_box_header(out, "tfdt", payload_size(), v, 0);
  box_detail::put_time(out, v, decode_time);
}

template <class Sink>
void TrackRun::write(Sink& out, const std::vector<TrackRunEntry>& samples) const {
  write_each(out, samples.size(), [&](auto&& put) {
    for (const TrackRunEntry& s : samples) put(s);
  });
}

template <class Sink, class Entries>
void TrackRun::write_each(Sink& out, std::size_t count, Entries&& entries) const {
  using namespace trun_flags;
  std::uint32_t f = flags & ~(kDataOffsetPresent | kFirstSampleFlagsPresent);
  if (data_offset) f |= kDataOffsetPresent;
  if (first_sample_flags) f |= kFirstSampleFlagsPresent;
  TrackRun sized = *this;
  sized.flags = f;
  sized.sample_count = static_cast<std::uint32_t>(count);
  put_full_box_header(out, "trun", sized.payload_size(), version, f);
  out.put_u32(sized.sample_count);
  if (data_offset) out.put_u32(static_cast<std::uint32_t>(*data_offset));
  if (first_sample_flags) out.put_u32(*first_sample_flags);
  entries([&](const TrackRunEntry& s) {
    if (f & kDurationPresent) out.put_u32(s.duration);
    if (f & kSizePresent) out.put_u32(s.size);
    if (f & kFlagsPresent) out.put_u32(s.flags);
    if (f & kCompositionOffsetPresent) out.put_u32(s.composition_offset);
  });
}

template <class Sink>
void TrackExtends::write(Sink& out) const {
  put_full_box_header(out, "trex", payload_size(), 0, 0);
  out.put_u32(track_id);
  out.put_u32(sample_description_index);
  out.put_u32(default_duration);
  out.put_u32(default_size);
  out.put_u32(default_flags);
}

template <class Sink>
void SegmentIndex::write(Sink& out) const {
  const std::uint8_t v = version();
  put_full_box_header(out, "sidx", payload_size(), v, 0);
  out.put_u32(reference_id);
  out.put_u32(timescale);
  box_detail::put_time(out, v, earliest_presentation_time);
  box_detail::put_time(out, v, first_offset);
  out.put_u16(0);
  out.put_u16(static_cast<std::uint16_t>(references.size()));
  for (const SegmentReference& r : references) {
    out.put_u32((std::uint32_t{r.reference_type} << 31) | (r.referenced_size & 0x7FFFFFFF));
    out.put_u32(r.subsegment_duration);
    out.put_u32((std::uint32_t{r.starts_with_sap} << 31) | (std::uint32_t{r.sap_type & 7u} << 28) |
                (r.sap_delta_time & 0x0FFFFFFF));
  }
}

}  // namespace plexo::mp4
