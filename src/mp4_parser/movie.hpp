// A movie box read once into a typed model: the movie header, the track-extends defaults
// and, per trak, its identity, handler, headers, edit list, sample tables (as views) and
// first sample entry. Every operation that needs a movie's tracks asks this model; none
// walks trak boxes itself.
//
// Rules, the same for every operation:
// - One trak is one track, in trak order, whatever it holds (a trak without a tkhd has no
//   track_ID: operations that place tracks leave it out).
// - Of every box, the first of its type where it stands counts: the first mvhd and the first
//   trex of each track; the first tkhd, edts and mdia of a trak; the first mdhd, hdlr and
//   minf of that mdia; the first stbl of that minf and the first of each table in it; the
//   first entry of the stsd. Later copies are never
//   read (encoders write one of each; a second one is junk or a stale copy).
// - The walk uses the operation's BoxRules: the lenient child walk ("Not enough data" for a
//   cut-off 64-bit size at any level read), or the locator's walk, which never fails.
// Everything views the bytes the movie box was read from, which must outlive the model.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/bytes.hpp"
#include "core/error.hpp"
#include "mp4_parser/box_cursor.hpp"
#include "mp4_parser/boxes.hpp"
#include "mp4_parser/fragment_runs.hpp"
#include "mp4_parser/sample_entries.hpp"

namespace plexo::mp4 {

// The boxes of a track's sample table, as views.
struct SampleTableBoxes {
  std::optional<Box> stsd, stts, ctts, stss, stsz, stsc, stco, co64;
};

struct MovieTrack {
  Box trak;
  std::optional<Box> tkhd, edts, mdia, mdhd, stbl;
  SampleTableBoxes tables;
  std::optional<Box> sample_entry;  // the first entry of the stsd

  std::optional<std::uint32_t> track_id;  // of the tkhd, when it holds one
  std::optional<FourCC> handler;          // hdlr handler_type
  // Of the mdhd, when it holds its times (version 0: 20 bytes; version 1: 32).
  std::optional<std::uint32_t> timescale;
  std::uint64_t media_duration = 0;
  // The tkhd's width and height (16.16), when the whole tkhd reads.
  std::optional<std::uint32_t> width, height;

  // One trak, read as Movie::read reads each.
  static Result<MovieTrack> read(const Box& trak, BoxRules rules = kChildBoxes);

  bool is_video() const { return handler == FourCC("vide"); }
  bool is_audio() const { return handler == FourCC("soun"); }
  // The stsd payload (empty without one).
  ByteView sample_description() const { return tables.stsd ? tables.stsd->payload : ByteView{}; }
  // The edit list of the edts, when it has a readable one.
  std::optional<EditList> edit_list() const;
  std::optional<VisualSampleEntry> visual_entry(BoxRules rules = kChildBoxes) const;
  std::optional<AudioSampleEntry> audio_entry(BoxRules rules = kChildBoxes) const;
};

struct Movie {
  Box moov;
  std::optional<Box> mvhd;
  std::optional<std::uint32_t> timescale;  // the mvhd's, when it holds its times
  std::vector<MovieTrack> tracks;          // one per trak, in trak order
  TrackExtendsTable trex;                  // the first trex of each track

  static Result<Movie> read(const Box& moov, BoxRules rules = kChildBoxes);
};

}  // namespace plexo::mp4
