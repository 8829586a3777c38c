// The two framings of H.264 NAL units: Annex B (each unit behind a start code, as a transport
// stream and a thumbnail carry them) and length-prefixed (each unit behind its big-endian
// length, as MP4 samples carry them), and the conversion each way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codecs/h264/h264.hpp"
#include "core/buffer.hpp"
#include "core/bytes.hpp"

namespace plexo::h264 {

inline constexpr std::uint8_t kStartCode[4] = {0, 0, 0, 1};

// The width of the length fields this system writes (an avcC's lengthSizeMinusOne of 3).
inline constexpr std::size_t kLengthFieldSize = 4;

// Annex B to length-prefixed. `units` are ranges of an Annex B stream (`header`: position of
// the unit's header byte, `size`: header byte to the next start code), read through `copier`
// (copy(position, size, sink)); each reaches `sink` behind a 4-byte length instead of its
// start code. A unit's sample bytes are kLengthFieldSize + its size.
template <class Copier, class Units, class Sink>
void put_length_prefixed(Copier& copier, const Units& units, const Sink& sink) {
  std::uint8_t length[kLengthFieldSize];
  for (const auto& unit : units) {
    const std::uint32_t size = unit.size;
    for (std::size_t b = 0; b < kLengthFieldSize; ++b)
      length[b] = static_cast<std::uint8_t>(size >> (8 * (kLengthFieldSize - 1 - b)));
    sink(ByteView(length, kLengthFieldSize));
    copier.copy(unit.header, size, sink);
  }
}

// Appends 00 00 00 01 and the unit.
void put_nal_unit(Buffer& out, ByteView nal);

// Length-prefixed to Annex B: appends every complete unit of `sample`, each behind
// 00 00 00 01. An incomplete last unit and trailing bytes shorter than a length field are
// dropped. `length_size` is the width of the length fields (kLengthFieldSize unless the sample
// entry's avcC says otherwise: 1, 2 or 4). Returns the NAL unit types appended, as a set of
// bits (type_bit).
std::uint32_t length_prefixed_to_annexb(ByteView sample, Buffer& out,
                                        std::size_t length_size = kLengthFieldSize);

// A NAL unit type in such a set, and the type of a unit (none for an empty one).
constexpr std::uint32_t type_bit(std::uint8_t type) { return std::uint32_t{1} << (type & 0x1F); }
inline std::uint32_t nal_type_bit(ByteView nal) { return nal.empty() ? 0 : type_bit(nal_type(nal[0])); }

}  // namespace plexo::h264
