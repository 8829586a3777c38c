// A fragmented file read into per-track sample lists: track descriptions from the movie box,
// samples and the positions of their bytes from the movie fragments.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/fragment_flags.hpp"
#include "mp4_parser/box_reader.hpp"

namespace plexo::mp4 {

using fragment_flags::is_sync_sample;

struct SampleRecord {
  std::uint32_t duration = 0;            // in the track's timescale
  std::uint32_t size = 0;                // bytes
  std::uint32_t flags = 0;               // sample flags
  std::uint32_t composition_offset = 0;  // raw 32 bits (signed in version-1 runs)
};

// The per-sample defaults a movie's track-extends box gives a track.
struct TrackExtends {
  std::uint32_t sample_description_index = 1;
  std::uint32_t duration = 0;
  std::uint32_t size = 0;
  std::uint32_t flags = 0;
};

struct TrackRecord {
  std::vector<SampleRecord> samples;
  // Position in the input of each sample's bytes, one per sample: the bytes stay in the input
  // until they are copied into an output.
  std::vector<std::uint64_t> sample_offsets;
  std::uint64_t data_length = 0;  // the sum of the samples' sizes
  std::vector<std::uint8_t> stsd;  // payload of the track's sample description box
  std::uint32_t track_id = 0;
  std::uint32_t timescale = 1000;
  TrackExtends extends;
  // Decode time of the track's first fragment, when a fragment gave one.
  std::optional<std::uint64_t> first_decode_time;
  // Decode time after the last sample so far (first decode time plus the durations).
  std::uint64_t next_decode_time = 0;

  // Appends every sample's bytes, in sample order, from the input the record was read from.
  void append_data(Buffer& out, ByteView input) const;
};

// One record per trak of a movie box payload, with identity, timescale, sample description
// and track-extends defaults, and no samples yet.
Result<std::vector<TrackRecord>> read_tracks(ByteView moov_payload);

// Walks every movie fragment among the top-level `boxes` of `bytes` and appends each track's
// samples to its record. Sample bytes are located where the fragment's data offsets put
// them; a sample whose bytes lie outside the input ends its run.
Status collect_fragments(ByteView bytes, const std::vector<BoxView>& boxes,
                         std::vector<TrackRecord>& tracks);

}  // namespace plexo::mp4
