#include "codecs/ac3/ac3.hpp"

#include "codecs/bit_reader.hpp"

namespace plexo::ac3 {
namespace {

constexpr std::array<std::uint32_t, 3> kSampleRates = {48000, 44100, 32000};
// 16-bit words per AC-3 syncframe by frmsizecod / 2, at 48 kHz and 32 kHz; at 44.1 kHz see
// frame_words.
constexpr std::array<std::uint16_t, 19> kWords48k = {64, 80, 96, 112, 128, 160, 192, 224, 256, 320,
                                                     384, 448, 512, 640, 768, 896, 1024, 1152, 1280};
constexpr std::array<std::uint16_t, 19> kWords44k = {69, 87, 104, 121, 139, 174, 208, 243, 278, 348,
                                                     417, 487, 557, 696, 835, 975, 1114, 1253, 1393};
// Full-bandwidth channels by acmod.
constexpr std::array<std::uint8_t, 8> kChannels = {2, 1, 2, 3, 3, 4, 4, 5};
constexpr std::array<std::uint8_t, 4> kBlocks = {1, 2, 3, 6};
constexpr std::uint8_t kMaxAc3Bsid = 10, kMaxEac3Bsid = 16;

std::uint32_t frame_words(unsigned fscod, unsigned frmsizecod) {
  const unsigned rate = frmsizecod >> 1;
  if (fscod == 0) return kWords48k[rate];
  if (fscod == 2) return kWords48k[rate] * 3 / 2;  // 32 kHz: 1.5 times the 48 kHz size
  return kWords44k[rate] + (frmsizecod & 1);       // 44.1 kHz: odd codes pad one word
}

std::optional<SyncFrame> read_ac3(ByteView b) {
  SyncFrame f;
  f.fscod = b[4] >> 6;
  const unsigned frmsizecod = b[4] & 0x3F;
  f.bsid = b[5] >> 3;
  if (f.fscod == 3 || frmsizecod >= 38 || f.bsid > kMaxAc3Bsid) return std::nullopt;
  f.bsmod = b[5] & 0x07;
  f.frame_size = frame_words(f.fscod, frmsizecod) * 2;
  f.sample_rate = kSampleRates[f.fscod] >> (f.bsid > 8 ? f.bsid - 8 : 0);
  f.bit_rate_code = static_cast<std::uint8_t>(frmsizecod >> 1);
  BitReader bits(b.subspan(6));
  f.acmod = static_cast<std::uint8_t>(bits.read_bits(3).value_or(0));
  // cmixlev, surmixlev and dsurmod come before lfeon when the channel mode has them.
  int skip = 0;
  if ((f.acmod & 1) && f.acmod != 1) skip += 2;
  if (f.acmod & 4) skip += 2;
  if (f.acmod == 2) skip += 2;
  bits.read_bits(skip);
  f.lfeon = static_cast<std::uint8_t>(bits.read_bits(1).value_or(0));  // within the 8 header bytes
  return f;
}

// E-AC-3's bitstream information up to bsmod, which follows the mixing metadata; what lies
// beyond `b` keeps its default.
void read_eac3_details(BitReader& bits, SyncFrame& f) {
  auto skip = [&bits](int n) { return bits.read_bits(n).has_value(); };
  auto flag = [&bits]() { return bits.read_bits(1).value_or(0) != 0; };
  if (!skip(5)) return;                        // dialnorm
  if (flag() && !skip(8)) return;              // compre, compr
  if (f.acmod == 0) {
    if (!skip(5)) return;                      // dialnorm2
    if (flag() && !skip(8)) return;            // compr2e, compr2
  }
  if (f.stream_type == StreamType::kDependent && flag()) {
    auto map = bits.read_bits(16);             // chanmape, chanmap
    if (!map) return;
    f.channel_map = static_cast<std::uint16_t>(*map);
  }
  if (flag()) {                                // mixmdate
    if (f.acmod > 2 && !skip(2)) return;       // dmixmod
    if ((f.acmod & 1) && f.acmod > 2 && !skip(6)) return;
    if ((f.acmod & 4) && !skip(6)) return;
    if (f.lfeon && flag() && !skip(5)) return;  // lfemixlevcode, lfemixlevcod
    if (f.stream_type == StreamType::kIndependent) {
      if (flag() && !skip(6)) return;          // pgmscle, pgmscl
      if (f.acmod == 0 && flag() && !skip(6)) return;
      if (flag() && !skip(6)) return;          // extpgmscle, extpgmscl
      const auto mixdef = bits.read_bits(2);
      if (!mixdef) return;
      if (*mixdef == 1 && !skip(5)) return;
      if (*mixdef == 2 && !skip(12)) return;
      if (*mixdef == 3) {
        const auto length = bits.read_bits(5);
        if (!length || !skip(static_cast<int>((*length + 2) * 8))) return;
      }
      if (f.acmod < 2) {
        if (flag() && !skip(14)) return;       // paninfoe, panmean, paninfo
        if (f.acmod == 0 && flag() && !skip(14)) return;
      }
      if (flag()) {                            // frmmixcfginfoe
        if (f.blocks == 1) {
          if (!skip(5)) return;
        } else {
          for (unsigned blk = 0; blk < f.blocks; ++blk)
            if (flag() && !skip(5)) return;
        }
      }
    }
  }
  if (flag()) {                                // infomdate
    if (auto bsmod = bits.read_bits(3)) f.bsmod = static_cast<std::uint8_t>(*bsmod);
  }
}

std::optional<SyncFrame> read_eac3(ByteView b) {
  SyncFrame f;
  f.enhanced = true;
  const unsigned strmtyp = b[2] >> 6;
  if (strmtyp == 3) return std::nullopt;
  f.stream_type = static_cast<StreamType>(strmtyp);
  f.substream_id = (b[2] >> 3) & 0x07;
  f.frame_size = ((((b[2] & 0x07u) << 8) | b[3]) + 1) * 2;
  if (f.frame_size < kHeaderSize) return std::nullopt;
  f.fscod = b[4] >> 6;
  if (f.fscod == 3) {
    const unsigned fscod2 = (b[4] >> 4) & 0x03;
    if (fscod2 == 3) return std::nullopt;
    f.sample_rate = kSampleRates[fscod2] / 2;
    f.blocks = kFrameBlocks;
  } else {
    f.sample_rate = kSampleRates[f.fscod];
    f.blocks = kBlocks[(b[4] >> 4) & 0x03];
  }
  f.acmod = (b[4] >> 1) & 0x07;
  f.lfeon = b[4] & 0x01;
  f.bsid = b[5] >> 3;
  BitReader bits(b.subspan(5));
  bits.read_bits(5);
  read_eac3_details(bits, f);
  return f;
}

std::uint16_t location_channels(std::uint16_t locations) {
  // Bits 0, 1, 4, 5 and 6 name channel pairs; 2, 3, 7 and 8 single channels.
  std::uint16_t n = 0;
  for (unsigned bit = 0; bit < 9; ++bit)
    if (locations & (1u << bit)) n += (bit == 2 || bit == 3 || bit == 7 || bit == 8) ? 1 : 2;
  return n;
}

// The channel locations a dependent substream's channel map adds (chan_loc from chanmap):
// Lc/Rc, Lrs/Rrs, Cs, Ts, Lsd/Rsd, Lw/Rw, Vhl/Vhr, Vhc are map bits 10 down to 3; LFE2 is
// map bit 1.
std::uint16_t channel_locations(std::uint16_t map) {
  std::uint16_t locations = 0;
  for (unsigned bit = 0; bit < 8; ++bit)
    if (map & (0x400u >> bit)) locations |= static_cast<std::uint16_t>(1u << bit);
  if (map & 0x0002) locations |= 0x100;
  return locations;
}

class BitWriter {
 public:
  explicit BitWriter(Buffer& out) : out_(out) {}
  void put(std::uint32_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
      byte_ = static_cast<std::uint8_t>((byte_ << 1) | ((value >> i) & 1u));
      if (++filled_ == 8) {
        out_.put_u8(byte_);
        byte_ = 0;
        filled_ = 0;
      }
    }
  }

 private:
  Buffer& out_;
  std::uint8_t byte_ = 0;
  int filled_ = 0;
};

}  // namespace

std::uint16_t SyncFrame::channel_count() const { return static_cast<std::uint16_t>(kChannels[acmod] + lfeon); }

std::optional<SyncFrame> read_syncframe(ByteView bytes) {
  if (bytes.size() < kHeaderSize || !frame_sync(bytes[0], bytes[1])) return std::nullopt;
  const std::uint8_t bsid = bytes[5] >> 3;
  if (bsid <= kMaxAc3Bsid) return read_ac3(bytes);
  if (bsid <= kMaxEac3Bsid) return read_eac3(bytes);
  return std::nullopt;
}

void put_dac3(Buffer& out, const SyncFrame& f) {
  BitWriter bits(out);
  bits.put(f.fscod, 2);
  bits.put(f.bsid, 5);
  bits.put(f.bsmod, 3);
  bits.put(f.acmod, 3);
  bits.put(f.lfeon, 1);
  bits.put(f.bit_rate_code, 5);
  bits.put(0, 5);
}

bool Ec3Config::add(const SyncFrame& frame) {
  if (frame.independent()) {
    if (count == substreams.size()) return false;
    substreams[count++] = Substream{frame, 0, 0};
  } else {
    if (count == 0) return false;
    Substream& parent = substreams[count - 1];
    if (parent.dependents == 15) return false;
    ++parent.dependents;
    if (frame.channel_map) parent.channel_locations |= channel_locations(*frame.channel_map);
  }
  sample_bytes += frame.frame_size;
  return true;
}

std::uint16_t Ec3Config::channel_count() const {
  if (count == 0) return 2;
  return static_cast<std::uint16_t>(substreams[0].frame.channel_count() +
                                    location_channels(substreams[0].channel_locations));
}

void put_dec3(Buffer& out, const Ec3Config& config) {
  BitWriter bits(out);
  const SyncFrame& first = config.substreams[0].frame;
  // The sample's bits over its duration (always six blocks), in kbit/s.
  const std::uint64_t rate = std::uint64_t{config.sample_bytes} * 8 * first.sample_rate /
                             (kBlockSamples * kFrameBlocks) / 1000;
  bits.put(static_cast<std::uint32_t>(rate > 0x1FFF ? 0x1FFF : rate), 13);
  bits.put(config.count > 0 ? config.count - 1u : 0u, 3);
  for (std::uint8_t i = 0; i < config.count; ++i) {
    const auto& s = config.substreams[i];
    bits.put(s.frame.fscod, 2);
    bits.put(s.frame.bsid, 5);
    bits.put(0, 2);  // reserved, asvc
    bits.put(s.frame.bsmod, 3);
    bits.put(s.frame.acmod, 3);
    bits.put(s.frame.lfeon, 1);
    bits.put(0, 3);
    bits.put(s.dependents, 4);
    if (s.dependents > 0) bits.put(s.channel_locations, 9);
    else bits.put(0, 1);
  }
}

}  // namespace plexo::ac3
