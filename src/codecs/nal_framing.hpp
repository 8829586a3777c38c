// The two framings of NAL units, the same for H.264 and HEVC: Annex B (each unit behind a
// start code, as a transport stream and a thumbnail carry them) and length-prefixed (each unit
// behind its big-endian length, as MP4 samples carry them), and the conversion each way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/buffer.hpp"
#include "core/bytes.hpp"

namespace plexo::nal {

inline constexpr std::uint8_t kStartCode[4] = {0, 0, 0, 1};

// The width of the length fields this system writes (lengthSizeMinusOne 3 in avcC and hvcC).
inline constexpr std::size_t kLengthFieldSize = 4;

// The length field that stands before a unit of `size` bytes in a length-prefixed sample.
using LengthField = std::array<std::uint8_t, kLengthFieldSize>;
inline LengthField length_field(std::uint32_t size) {
  LengthField field;
  for (std::size_t b = 0; b < kLengthFieldSize; ++b)
    field[b] = static_cast<std::uint8_t>(size >> (8 * (kLengthFieldSize - 1 - b)));
  return field;
}

// Annex B to length-prefixed. `units` are ranges of an Annex B stream (`header`: position of
// the unit's header byte, `size`: header byte to the next start code), read through `copier`
// (copy(position, size, sink)); each reaches `sink` behind a 4-byte length instead of its
// start code. A unit's sample bytes are kLengthFieldSize + its size.
template <class Copier, class Units, class Sink>
void put_length_prefixed(Copier& copier, const Units& units, const Sink& sink) {
  for (const auto& unit : units) {
    const LengthField length = length_field(unit.size);
    sink(ByteView(length.data(), length.size()));
    copier.copy(unit.header, unit.size, sink);
  }
}

// Appends 00 00 00 01 and the unit.
void put_nal_unit(Buffer& out, ByteView nal);

// Length-prefixed to Annex B: appends every complete unit of `sample`, each behind
// 00 00 00 01, and hands it to on_unit(ByteView) (which kinds a picture holds is the codec's
// to say). An incomplete last unit and trailing bytes shorter than a length field are
// dropped. `length_size` is the width of the length fields (kLengthFieldSize unless the sample
// entry's decoder configuration says otherwise: 1, 2 or 4).
template <class OnUnit>
void length_prefixed_to_annexb(ByteView sample, Buffer& out, std::size_t length_size, OnUnit&& on_unit) {
  std::size_t p = 0;
  while (sample.size() - p >= length_size) {
    std::uint64_t length = 0;
    for (std::size_t i = 0; i < length_size; ++i) length = (length << 8) | sample[p + i];
    p += length_size;
    if (length > sample.size() - p) return;
    const ByteView unit = sample.subspan(p, static_cast<std::size_t>(length));
    put_nal_unit(out, unit);
    on_unit(unit);
    p += static_cast<std::size_t>(length);
  }
}

}  // namespace plexo::nal
