#include "codecs/nal_framing.hpp"

namespace plexo::nal {

void put_nal_unit(Buffer& out, ByteView nal) {
  out.put(ByteView(kStartCode, 4));
  out.put(nal);
}

}  // namespace plexo::nal
