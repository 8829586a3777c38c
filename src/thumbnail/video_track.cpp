#include "thumbnail/video_track.hpp"

#include "mp4_parser/sample_entries.hpp"

namespace plexo::thumbnail {
namespace {

bool is_avc_entry(FourCC type) { return type == FourCC("avc1") || type == FourCC("avc3"); }

std::optional<h264::DecoderConfiguration> entry_avc(const mp4::Box& entry) {
  if (!is_avc_entry(entry.type)) return std::nullopt;
  auto visual = mp4::VisualSampleEntry::read(entry, mp4::kLocatorBoxes);
  if (!visual) return std::nullopt;
  auto avcc = visual->find("avcC");
  if (!avcc) return std::nullopt;
  return h264::read_decoder_configuration(*avcc);
}

}  // namespace

std::optional<h264::DecoderConfiguration> sample_entry_avc(const mp4::Box& stbl) {
  // The locator's rules stop quietly where others would fail, so the walk yields no error.
  auto stsd = mp4::find_child(stbl, "stsd", mp4::kLocatorBoxes);
  if (!stsd || !*stsd) return std::nullopt;
  auto entry = mp4::first_sample_entry(**stsd, mp4::kLocatorBoxes);
  return entry ? entry_avc(*entry) : std::nullopt;
}

std::optional<VideoTrack> find_video_track(const mp4::Movie& movie) {
  for (const mp4::MovieTrack& track : movie.tracks) {
    if (!track.is_video() || !track.track_id || !track.sample_entry) continue;
    if (!is_avc_entry(track.sample_entry->type)) continue;
    return VideoTrack{*track.track_id, track.tables, entry_avc(*track.sample_entry)};
  }
  return std::nullopt;
}

}  // namespace plexo::thumbnail
