#include "codecs/h264/framing.hpp"

namespace plexo::h264 {

void put_nal_unit(Buffer& out, ByteView nal) {
  out.put(ByteView(kStartCode, 4));
  out.put(nal);
}

std::uint32_t length_prefixed_to_annexb(ByteView sample, Buffer& out, std::size_t length_size) {
  std::uint32_t types = 0;
  std::size_t p = 0;
  while (sample.size() - p >= length_size) {
    std::uint64_t length = 0;
    for (std::size_t i = 0; i < length_size; ++i) length = (length << 8) | sample[p + i];
    p += length_size;
    if (length > sample.size() - p) return types;
    const ByteView nal = sample.subspan(p, static_cast<std::size_t>(length));
    put_nal_unit(out, nal);
    types |= nal_type_bit(nal);
    p += static_cast<std::size_t>(length);
  }
  return types;
}

}  // namespace plexo::h264
