#include "thumbnail/video_track.hpp"

namespace plexo::thumbnail {
namespace {

constexpr std::size_t kHandlerType = 8;        // hdlr payload: version/flags, pre_defined
constexpr std::size_t kStsdEntries = 8;        // stsd payload: version/flags, entry_count
constexpr std::size_t kVisualEntryFields = 78;  // fixed fields of a visual sample entry

bool is_avc_entry(FourCC type) { return type == FourCC("avc1") || type == FourCC("avc3"); }

// First sample entry of stsd, as a box.
std::optional<BoxSpan> first_sample_entry(ByteView input, const BoxSpan& stbl) {
  auto stsd = child(input, stbl, "stsd");
  if (!stsd) return std::nullopt;
  return box_at(input.first(stsd->offset + stsd->bytes.size()),
                stsd->offset + 8 + kStsdEntries);
}

std::optional<AvcConfig> parse_avcc(ByteView payload) {
  ByteReader reader(payload);
  if (!reader.skip(4)) return std::nullopt;  // version, profile, compatibility, level
  auto length_size_byte = reader.read_u8();
  if (!length_size_byte) return std::nullopt;
  AvcConfig config;
  config.length_size = (*length_size_byte & 0x03) + 1;
  if (config.length_size == 3) return std::nullopt;  // not a width H.264 allows
  for (int kind = 0; kind < 2; ++kind) {  // SPS, then PPS
    auto count = reader.read_u8();
    if (!count) return std::nullopt;
    const std::size_t units = kind == 0 ? (*count & 0x1F) : *count;
    for (std::size_t i = 0; i < units; ++i) {
      auto length = reader.read_u16();
      if (!length) return std::nullopt;
      auto unit = reader.read_bytes(*length);
      if (!unit) return std::nullopt;
      if (!unit->empty()) config.parameter_sets.push_back(*unit);
    }
  }
  return config;
}

}  // namespace

std::optional<AvcConfig> sample_entry_avc(ByteView input, const BoxSpan& stbl) {
  auto entry = first_sample_entry(input, stbl);
  if (!entry || !is_avc_entry(FourCC::from(entry->bytes.subspan(4, 4)))) return std::nullopt;
  auto avcc = child(input, *entry, "avcC", kVisualEntryFields);
  if (!avcc) return std::nullopt;
  return parse_avcc(avcc->payload());
}

std::optional<VideoTrack> find_video_track(ByteView input, const BoxSpan& moov) {
  std::optional<VideoTrack> found;
  for_each_child(input, moov, 0, [&](const BoxSpan& trak) {
    if (FourCC::from(trak.bytes.subspan(4, 4)) != FourCC("trak")) return true;
    auto hdlr = descend(input, trak, {"mdia", "hdlr"});
    auto stbl = descend(input, trak, {"mdia", "minf", "stbl"});
    auto tkhd = child(input, trak, "tkhd");
    if (!hdlr || !stbl || !tkhd) return true;
    auto handler = slice(hdlr->payload(), kHandlerType, 4);
    if (!handler || FourCC::from(*handler) != FourCC("vide")) return true;
    auto entry = first_sample_entry(input, *stbl);
    if (!entry || !is_avc_entry(FourCC::from(entry->bytes.subspan(4, 4)))) return true;
    // tkhd: version/flags, then creation and modification times (64-bit in version 1).
    const ByteView tkhd_payload = tkhd->payload();
    const std::size_t id_at = (!tkhd_payload.empty() && tkhd_payload[0] == 1) ? 20 : 12;
    auto track_id = load_u32(tkhd_payload, id_at);
    if (!track_id) return true;
    found = VideoTrack{*track_id, *stbl, sample_entry_avc(input, *stbl)};
    return false;
  });
  return found;
}

}  // namespace plexo::thumbnail
