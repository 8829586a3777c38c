// Sample entries: one description of each kind's fields, for reading and writing.
#pragma once

namespace plexo::mp4 {

template <class Fields>
std::optional<SampleEntry<Fields>> SampleEntry<Fields>::read(const Box& entry, BoxRules rules) {
  if (entry.payload.size() < Fields::kSize) return std::nullopt;
  SampleEntry out;
  out.format = entry.type;
  ByteReader in(entry.payload);
  in.skip(6);  // reserved
  out.data_reference_index = *in.read_u16();
  if (!out.read_fields(in)) return std::nullopt;
  BoxCursor boxes = BoxCursor::children(entry, rules, Fields::kSize);
  for (;;) {
    auto box = boxes.next();
    if (!box || !*box) break;
    out.configuration.push_back({(*box)->type, (*box)->payload});
  }
  return out;
}

template <class Fields>
std::optional<ByteView> SampleEntry<Fields>::find(FourCC type) const {
  for (const ConfigurationBox& box : configuration)
    if (box.type == type) return box.payload;
  return std::nullopt;
}

template <class Fields>
std::uint64_t SampleEntry<Fields>::payload_size() const {
  std::uint64_t size = Fields::kSize;
  for (const ConfigurationBox& box : configuration) size += box_length(box.payload.size());
  return size;
}

template <class Fields>
template <class Sink>
void SampleEntry<Fields>::write(Sink& out) const {
  put_box_header(out, format, payload_size());
  out.put_zeros(6);
  out.put_u16(data_reference_index);
  this->write_fields(out);
  for (const ConfigurationBox& box : configuration) put_box(out, box.type, box.payload);
}

// Each field below is read from an entry checked to hold them all.
inline bool VisualFields::read_fields(ByteReader& in) {
  in.skip(16);  // pre_defined, reserved
  width = *in.read_u16();
  height = *in.read_u16();
  horizontal_resolution = *in.read_u32();
  vertical_resolution = *in.read_u32();
  in.skip(4);  // reserved
  frame_count = *in.read_u16();
  ByteView name = *in.read_bytes(compressor_name.size());
  std::copy(name.begin(), name.end(), compressor_name.begin());
  depth = *in.read_u16();
  return in.skip(2);  // pre_defined -1
}

template <class Sink>
void VisualFields::write_fields(Sink& out) const {
  out.put_zeros(16);
  out.put_u16(width);
  out.put_u16(height);
  out.put_u32(horizontal_resolution);
  out.put_u32(vertical_resolution);
  out.put_u32(0);
  out.put_u16(frame_count);
  out.put(ByteView(compressor_name.data(), compressor_name.size()));
  out.put_u16(depth);
  out.put_u16(0xFFFF);
}

inline bool AudioFields::read_fields(ByteReader& in) {
  in.skip(8);  // reserved
  channel_count = *in.read_u16();
  sample_size = *in.read_u16();
  in.skip(4);  // pre_defined, reserved
  sample_rate = *in.read_u32();
  return true;
}

template <class Sink>
void AudioFields::write_fields(Sink& out) const {
  out.put_zeros(8);
  out.put_u16(channel_count);
  out.put_u16(sample_size);
  out.put_u32(0);
  out.put_u32(sample_rate);
}

}  // namespace plexo::mp4
