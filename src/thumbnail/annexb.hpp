// Reframing NAL units from length-prefixed (MP4) form into an Annex B byte stream.
#pragma once

#include <cstddef>

#include "core/buffer.hpp"
#include "core/bytes.hpp"

namespace plexo::thumbnail {

inline constexpr std::uint8_t kStartCode[4] = {0, 0, 0, 1};

// Appends 00 00 00 01 and the unit.
void put_nal_unit(Buffer& out, ByteView nal);

// Appends every complete unit of `sample`, each behind 00 00 00 01. An incomplete last unit
// and trailing bytes shorter than a length field are dropped. `length_size` is the width of
// the length fields (4 unless the sample entry's avcC says otherwise: 1, 2 or 4). Returns
// the NAL unit types appended, as a set of bits (bit t for type t).
std::uint32_t length_prefixed_to_annexb(ByteView sample, Buffer& out, std::size_t length_size = 4);

// The bit of a NAL unit's type in such a set; an empty unit has none.
inline std::uint32_t nal_type_bit(ByteView nal) { return nal.empty() ? 0 : 1u << (nal[0] & 0x1F); }

}  // namespace plexo::thumbnail
