#include "mp4_parser/movie.hpp"

namespace plexo::mp4 {
namespace {

// Keeps the first box of a type.
void first(std::optional<Box>& slot, const Box& box) {
  if (!slot) slot = box;
}

Status read_tables(MovieTrack& track, const Box& stbl, BoxRules rules) {
  BoxCursor tables = BoxCursor::children(stbl, rules);
  SampleTableBoxes& t = track.tables;
  while (auto box = PLEXO_TRY(tables.next())) {
    const FourCC type = box->type;
    if (type == FourCC("stsd")) first(t.stsd, *box);
    else if (type == kTimeToSample.type) first(t.stts, *box);
    else if (type == kCompositionOffsets.type) first(t.ctts, *box);
    else if (type == kSyncSamples.type) first(t.stss, *box);
    else if (type == kSampleSizes.type) first(t.stsz, *box);
    else if (type == kSampleToChunk.type) first(t.stsc, *box);
    else if (type == kChunkOffsets.type) first(t.stco, *box);
    else if (type == kLargeChunkOffsets.type) first(t.co64, *box);
  }
  if (t.stsd) track.sample_entry = first_sample_entry(*t.stsd, rules);
  return {};
}

}  // namespace

Result<MovieTrack> MovieTrack::read(const Box& trak, BoxRules rules) {
  MovieTrack track;
  track.trak = trak;
  BoxCursor children = BoxCursor::children(trak, rules);
  while (auto child = PLEXO_TRY(children.next())) {
    if (child->type == FourCC("tkhd")) first(track.tkhd, *child);
    else if (child->type == FourCC("edts")) first(track.edts, *child);
    else if (child->type == FourCC("mdia")) first(track.mdia, *child);
  }
  if (track.tkhd) {
    track.track_id = read_track_id(track.tkhd->payload);
    if (auto header = TrackHeader::read(track.tkhd->payload)) {
      track.width = header->width;
      track.height = header->height;
    }
  }
  if (!track.mdia) return track;

  std::optional<Box> hdlr, minf;
  BoxCursor media = BoxCursor::children(*track.mdia, rules);
  while (auto child = PLEXO_TRY(media.next())) {
    if (child->type == FourCC("mdhd")) first(track.mdhd, *child);
    else if (child->type == FourCC("hdlr")) first(hdlr, *child);
    else if (child->type == FourCC("minf")) first(minf, *child);
  }
  if (track.mdhd) {
    if (auto spots = MediaHeader::time_spots(track.mdhd->payload)) {
      track.timescale = static_cast<std::uint32_t>(spots->timescale->read(track.mdhd->payload));
      track.media_duration = spots->duration.read(track.mdhd->payload);
    }
  }
  if (hdlr)
    if (auto handler = HandlerBox::read(hdlr->payload)) track.handler = handler->handler_type;
  if (!minf) return track;

  BoxCursor information = BoxCursor::children(*minf, rules);
  while (auto child = PLEXO_TRY(information.next()))
    if (child->type == FourCC("stbl")) first(track.stbl, *child);
  if (track.stbl) PLEXO_CHECK(read_tables(track, *track.stbl, rules));
  return track;
}

std::optional<EditList> MovieTrack::edit_list() const {
  if (!edts) return std::nullopt;
  auto elst = find_child(*edts, "elst");
  if (!elst || !*elst) return std::nullopt;
  return EditList::read((*elst)->payload);
}

std::optional<VisualSampleEntry> MovieTrack::visual_entry(BoxRules rules) const {
  return sample_entry ? VisualSampleEntry::read(*sample_entry, rules) : std::nullopt;
}

std::optional<AudioSampleEntry> MovieTrack::audio_entry(BoxRules rules) const {
  return sample_entry ? AudioSampleEntry::read(*sample_entry, rules) : std::nullopt;
}

Result<Movie> Movie::read(const Box& moov, BoxRules rules) {
  Movie movie;
  movie.moov = moov;
  BoxCursor children = BoxCursor::children(moov, rules);
  while (auto child = PLEXO_TRY(children.next())) {
    if (child->type == FourCC("mvhd")) {
      first(movie.mvhd, *child);
    } else if (child->type == FourCC("trak")) {
      movie.tracks.push_back(PLEXO_TRY(MovieTrack::read(*child, rules)));
    } else if (child->type == FourCC("mvex")) {
      BoxCursor boxes = BoxCursor::children(*child, rules);
      while (auto box = PLEXO_TRY(boxes.next()))
        if (box->type == FourCC("trex"))
          if (auto trex = TrackExtends::read(box->payload)) movie.trex.add(*trex);
    }
  }
  if (movie.mvhd) {
    if (auto spots = MovieHeader::time_spots(movie.mvhd->payload))
      movie.timescale = static_cast<std::uint32_t>(spots->timescale->read(movie.mvhd->payload));
  }
  return movie;
}

}  // namespace plexo::mp4
