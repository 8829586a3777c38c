// What the packet loop hands to the elementary-stream handlers, and their scan state (which
// stays here, out of the result).
#pragma once

#include <array>
#include <cstddef>

#include "core/bytes.hpp"
#include "codecs/h264/h264.hpp"
#include "ts_parser/ts_demux.hpp"

namespace plexo::ts {

// One packet's payload: from the payload offset to the end of the 188-byte packet.
struct PacketPayload {
  ByteView bytes;
  std::size_t offset;        // payload offset within the packet
  bool unit_start;           // payload_unit_start_indicator
  std::uint8_t continuity = 0;  // continuity_counter
};

// A PES start whose payload is shorter than a minimal PES header carries nothing usable.
inline constexpr std::size_t kMinPesStartOffset = 180;

// What the diagnostic lines report: PES counts and the PTS of the first and last entries.
struct ScanTotals {
  std::size_t video_pes = 0;
  std::optional<std::uint64_t> first_video_pts, last_video_pts;
  // Each frame is reported with the PTS of the PES that completed it.
  std::optional<std::uint64_t> first_audio_pts, last_audio_pts;
};

// A PES start as the stream handlers see it: where its data begins in the elementary stream.
struct PesStart {
  std::uint64_t begin = 0;
  PesTimestamps times;
  bool claimed = false;  // an access unit or frame already began in it
};

// The PES that holds a stream position: the last one starting at or before it.
PesStart* pes_holding(std::vector<PesStart>& starts, std::uint64_t pos);
// Forgets the PES starts before the one holding `pos`.
void drop_pes_before(std::vector<PesStart>& starts, std::uint64_t pos);

// Finds NAL units and access units in the video stream as its payloads arrive.
struct VideoScan {
  std::vector<PesStart> pes;
  bool collect = false;  // the stream is H.264 or HEVC (and, for a first key frame, none found yet)
  bool first_key_frame_only = false;
  nal::StartCodeScanner start_codes;
  // The access unit being collected.
  bool unit_open = false, unit_has_slice = false;
  AccessUnit unit;
  // Pictures went by before the parameter sets were known: none is kept until a key picture,
  // which needs no earlier one to decode.
  bool awaiting_key_frame = false;
  std::uint32_t sps_id = 0;      // of `TsDemuxResult::sps`, once held
  std::uint32_t pps_sps_id = 0;  // the SPS that `TsDemuxResult::pps` refers to, once held
  std::uint32_t vps_id = 0;       // HEVC: the VPS that `TsDemuxResult::sps` refers to, once held
  std::uint32_t held_vps_id = 0;  // HEVC: the id of `TsDemuxResult::vps`, once held
  // A change of parameter sets that no kept picture has begun yet: the sets as they stand.
  std::optional<ParameterGeneration> pending;
  // The parameter sets of the open unit, where they lie: the picture that begins a
  // generation carries its sets in-band as well.
  std::vector<NalRange> unit_sets;
  bool kept_picture = false;  // some access unit was kept (it may since have been released; SEI after it are not read)
};

struct AudioScan {
  std::vector<PesStart> pes;
  std::uint64_t search_from = 0;  // no frame header starts before this
  // What every frame header of the stream repeats (codec, version, sample rate), from the
  // first frame kept: a header that differs is a false sync.
  std::optional<std::uint32_t> stream_key;
  // E-AC-3: the audio blocks of the last sample and where it ends, which the substreams and
  // short syncframes that follow it join.
  std::uint32_t open_blocks = 0;
  std::uint64_t open_end = 0;
  // Private data taken for ADTS AAC until its first PES data shows otherwise (`not_adts`:
  // then none of it is kept).
  bool confirm_adts = false;
  bool not_adts = false;
  bool found_frame = false;
  // Frames let go of (StreamDemuxer::release) before the first held; `count` numbers frames
  // from the stream's first: the frame whose PTS set the frame count, and that PTS.
  std::uint64_t released = 0;
  std::optional<AudioAnchor> count;
  std::uint64_t gap_ticks = 0;  // of the gaps found since
  // Packets were lost (the continuity counter skipped): the stream position where the bytes
  // after the last loss begin (a frame across it is damaged), and the first frame to begin
  // after a loss since the last PTS (numbered as `count`). Frames after a loss lead up to
  // the next PES's PTS, not on from the frames before it.
  std::optional<std::uint8_t> continuity;
  std::optional<std::uint64_t> loss_at;
  std::optional<std::uint64_t> after_loss;
};

void handle_video_packet(TsDemuxResult& result, VideoScan& scan, ScanTotals& totals,
                         const PacketPayload& packet);
// Ends the last NAL unit and access unit; `truncated` drops an access unit that the end of
// the input cut short.
void finish_video(TsDemuxResult& result, VideoScan& scan, bool truncated);

void handle_audio_packet(DemuxedAudio& result, AudioScan& scan, ScanTotals& totals,
                         const PacketPayload& packet);
void finish_audio(DemuxedAudio& result, AudioScan& scan, ScanTotals& totals);


// Where the elementary-stream bytes of a PES start begin in its payload, or nullopt when the
// payload does not begin a PES packet or holds nothing after the header.
std::optional<std::size_t> pes_data_offset(ByteView payload);

}  // namespace plexo::ts
