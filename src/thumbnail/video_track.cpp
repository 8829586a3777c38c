#include "thumbnail/video_track.hpp"

#include "mp4_parser/boxes.hpp"

namespace plexo::thumbnail {
namespace {

using mp4::Box;
using mp4::BoxCursor;
using mp4::kLocatorBoxes;

constexpr std::size_t kStsdEntries = 8;         // stsd payload: version/flags, entry_count
constexpr std::size_t kVisualEntryFields = 78;  // fixed fields of a visual sample entry

bool is_avc_entry(FourCC type) { return type == FourCC("avc1") || type == FourCC("avc3"); }

std::optional<Box> descend(const Box& box, std::initializer_list<FourCC> path) {
  auto found = mp4::find_path(box, path, kLocatorBoxes);
  return found ? *found : std::nullopt;
}

std::optional<Box> first_sample_entry(const Box& stbl) {
  auto stsd = locate_child(stbl, "stsd");
  if (!stsd) return std::nullopt;
  auto entry = BoxCursor::children(*stsd, kLocatorBoxes, kStsdEntries).next();
  if (!entry || !*entry) return std::nullopt;
  return **entry;
}

}  // namespace

std::optional<Box> locate_child(const Box& parent, FourCC type, std::size_t skip) {
  // The locator's rules stop quietly where others would fail, so the walk yields no error.
  auto found = mp4::find_child(parent, type, kLocatorBoxes, skip);
  return found ? *found : std::nullopt;
}

std::optional<h264::DecoderConfiguration> sample_entry_avc(const Box& stbl) {
  auto entry = first_sample_entry(stbl);
  if (!entry || !is_avc_entry(entry->type)) return std::nullopt;
  auto avcc = locate_child(*entry, "avcC", kVisualEntryFields);
  if (!avcc) return std::nullopt;
  return h264::read_decoder_configuration(avcc->payload);
}

std::optional<VideoTrack> find_video_track(const Box& moov) {
  BoxCursor traks = BoxCursor::children(moov, kLocatorBoxes);
  for (;;) {
    auto next = traks.next();
    if (!next || !*next) return std::nullopt;
    const Box& trak = **next;
    if (trak.type != FourCC("trak")) continue;
    auto hdlr = descend(trak, {"mdia", "hdlr"});
    auto stbl = descend(trak, {"mdia", "minf", "stbl"});
    auto tkhd = locate_child(trak, "tkhd");
    if (!hdlr || !stbl || !tkhd) continue;
    auto handler = mp4::HandlerBox::read(hdlr->payload);
    if (!handler || handler->handler_type != FourCC("vide")) continue;
    auto entry = first_sample_entry(*stbl);
    if (!entry || !is_avc_entry(entry->type)) continue;
    auto track_id = mp4::read_track_id(tkhd->payload);
    if (!track_id) continue;
    return VideoTrack{*track_id, *stbl, sample_entry_avc(*stbl)};
  }
}

}  // namespace plexo::thumbnail
