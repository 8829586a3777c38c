#include "thumbnail/video_track.hpp"

#include "core/messages.hpp"
#include "mp4_parser/sample_entries.hpp"

namespace plexo::thumbnail {
namespace {

std::optional<SampleEntryCodec> entry_codec(const mp4::Box& entry) {
  auto codec = codec_of_sample_entry(entry.type);
  if (!codec) return std::nullopt;
  SampleEntryCodec found{*codec, std::nullopt};
  if (auto visual = mp4::VisualSampleEntry::read(entry, mp4::kLocatorBoxes))
    if (auto config = visual->find(configuration_box(*codec)))
      found.config = read_decoder_configuration(*codec, *config);
  return found;
}

}  // namespace

std::optional<SampleEntryCodec> sample_entry_codec(const mp4::Box& stbl) {
  // The locator's rules stop quietly where others would fail, so the walk yields no error.
  auto stsd = mp4::find_child(stbl, "stsd", mp4::kLocatorBoxes);
  if (!stsd || !*stsd) return std::nullopt;
  auto entry = mp4::first_sample_entry(**stsd, mp4::kLocatorBoxes);
  return entry ? entry_codec(*entry) : std::nullopt;
}

Result<std::optional<VideoTrack>> find_video_track(const mp4::Movie& movie) {
  std::optional<FourCC> other_video;  // the first video sample entry of another codec
  for (const mp4::MovieTrack& track : movie.tracks) {
    if (!track.is_video() || !track.tkhd || !track.stbl || !track.sample_entry) continue;
    auto entry = entry_codec(*track.sample_entry);
    if (!entry) {
      if (!other_video) other_video = track.sample_entry->type;
      continue;
    }
    if (!track.track_id) continue;
    return std::optional<VideoTrack>{VideoTrack{*track.track_id, track.tables, *entry}};
  }
  // Its pictures would be returned as bytes no H.264 or HEVC decoder opens.
  if (other_video) return fail(msg::unsupported_video_track(mp4::type_name(*other_video)));
  return std::optional<VideoTrack>{};
}

}  // namespace plexo::thumbnail
