#include "thumbnail/video_track.hpp"

#include "core/messages.hpp"
#include "mp4_parser/boxes.hpp"

namespace plexo::thumbnail {
namespace {

using mp4::Box;
using mp4::BoxCursor;
using mp4::kLocatorBoxes;

constexpr std::size_t kStsdEntries = 8;         // stsd payload: version/flags, entry_count
constexpr std::size_t kVisualEntryFields = 78;  // fixed fields of a visual sample entry


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

std::optional<SampleEntryCodec> sample_entry_codec(const Box& stbl) {
  auto entry = first_sample_entry(stbl);
  if (!entry) return std::nullopt;
  auto codec = codec_of_sample_entry(entry->type);
  if (!codec) return std::nullopt;
  SampleEntryCodec found{*codec, std::nullopt};
  if (auto config = locate_child(*entry, configuration_box(*codec), kVisualEntryFields))
    found.config = read_decoder_configuration(*codec, config->payload);
  return found;
}

Result<std::optional<VideoTrack>> find_video_track(const Box& moov) {
  std::optional<FourCC> other_video;  // the first video sample entry of another codec
  BoxCursor traks = BoxCursor::children(moov, kLocatorBoxes);
  for (;;) {
    auto next = traks.next();
    if (!next || !*next) break;
    const Box& trak = **next;
    if (trak.type != FourCC("trak")) continue;
    auto hdlr = descend(trak, {"mdia", "hdlr"});
    auto stbl = descend(trak, {"mdia", "minf", "stbl"});
    auto tkhd = locate_child(trak, "tkhd");
    if (!hdlr || !stbl || !tkhd) continue;
    auto handler = mp4::HandlerBox::read(hdlr->payload);
    if (!handler || handler->handler_type != FourCC("vide")) continue;
    auto entry = sample_entry_codec(*stbl);
    if (!entry) {
      if (auto other = first_sample_entry(*stbl); other && !other_video) other_video = other->type;
      continue;
    }
    auto track_id = mp4::read_track_id(tkhd->payload);
    if (!track_id) continue;
    return std::optional<VideoTrack>{VideoTrack{*track_id, *stbl, *entry}};
  }
  // Its pictures would be returned as bytes no H.264 or HEVC decoder opens.
  if (other_video)
    return fail(msg::unsupported_video_track(mp4::type_name(*other_video)));
  return std::optional<VideoTrack>{};
}

}  // namespace plexo::thumbnail
