// Every message an operation fails with, named once. A path that reports a failure names its
// entry here; the texts reach Python unchanged as the argument of ValueError.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace plexo::msg {

// Transport streams.
inline constexpr const char* kNoSyncByte = "No valid TS sync byte found";
inline constexpr const char* kNoVideoData = "No video data found";
inline constexpr const char* kNoParameterSets = "No H.264 parameter sets found";
inline constexpr const char* kNoHevcParameterSets = "No HEVC parameter sets found";
inline constexpr const char* kNoIFrame = "No I-frame found in video stream";
// `found` names the codec and opens its parenthesis ("MPEG-2 video ("); `stream_type` is
// written as 0xNN.
inline std::string unsupported_video(std::string_view found, std::string_view stream_type) {
  return "Unsupported video stream: " + std::string(found) + "stream_type " + std::string(stream_type) +
         "); only H.264 and HEVC video are converted";
}

// Writing an MP4.
inline constexpr const char* kAccessUnitTooLarge = "H.264 access unit too large for an MP4 sample";
inline constexpr const char* kHevcAccessUnitTooLarge = "HEVC access unit too large for an MP4 sample";
inline constexpr const char* kTooManySamples = "Too many samples for an MP4 track";
inline constexpr const char* kTooManyParameterChanges =
    "Too many parameter set changes in the video stream (more than 1000 generations)";
inline constexpr const char* kMediaSizeMismatch = "Track media does not match its sample sizes";
inline constexpr const char* kOutputSizeMismatch = "Output span does not match the planned size";
inline constexpr const char* kLayoutMismatch = "MP4 layout and writing disagree";

// Writing a fragmented MP4.
inline constexpr const char* kInvalidFragmentDuration = "Invalid fragment duration";
inline constexpr const char* kFragmentTooLarge = "Fragment too large for its track runs";
inline constexpr const char* kTracksWithoutTimeline = "Every track needs its place on the timeline";
inline constexpr const char* kInvalidTrackTimescale = "Invalid track timescale";
inline constexpr const char* kStreamEnded = "The stream has ended";
inline constexpr const char* kFragmentedMovieWithSamples = "A fragmented movie's tracks hold no samples";

// Reading boxes.
inline constexpr const char* kNotEnoughData = "Not enough data";
inline constexpr const char* kInvalidBoxSize = "Invalid box size";
inline std::string box_size_exceeds_data(std::uint64_t size) {
  return "Box size " + std::to_string(size) + " exceeds available data";
}
inline constexpr const char* kInvalidTrackFragment = "Invalid track fragment";
inline constexpr const char* kInvalidSampleTable = "Invalid sample table";
inline constexpr const char* kMoovNotFound = "moov box not found";
inline constexpr const char* kShortFullBox = "Not enough data for FullBox header";
// A header box shorter than its version needs.
inline std::string header_box_too_short(std::string_view type, bool version1, std::size_t needed,
                                        std::size_t found) {
  return std::string(type) + " box too short: version " + (version1 ? "1" : "0") + " needs " +
         std::to_string(needed) + " bytes, found " + std::to_string(found);
}

// Defragmentation, timestamp reset, probe.
inline constexpr const char* kNotFragmented = "Not a fragmented MP4";
inline constexpr const char* kMoovWithoutTrak = "moov box has no trak";
inline constexpr const char* kNoSamples = "No samples found for the tracks of the moov box";
inline constexpr const char* kFragmentsChanged = "Track fragments changed between walks";
inline constexpr const char* kNotMedia = "Not an MP4 or a transport stream";

// Track muxing.
inline constexpr const char* kNoTracksToJoin = "합칠 트랙이 없음";
inline constexpr const char* kNoTemplateTrak = "템플릿 moov 에 trak 이 없어 트랙을 배치할 수 없음";
inline constexpr const char* kMovieLengthChanged = "moov 크기가 offset 계산 전후로 달라짐";
inline std::string no_trak_for_track(std::uint32_t track_id) {
  return "track_id " + std::to_string(track_id) + " 에 해당하는 trak 없음";
}
// A track of one of the inputs holds no sample (an initialisation segment without fragments).
inline std::string mux_track_without_samples(bool video_input, std::uint32_t track_id) {
  return std::string(video_input ? "The video input" : "The audio input") + " holds no samples for track " +
         std::to_string(track_id);
}
inline std::string duplicate_track_id(std::uint32_t track_id) {
  return "track_id " + std::to_string(track_id) + " 가 중복됨";
}

// Live segments.
inline constexpr const char* kSegmentOutputTooSmall = "Output too small for the segment";
inline constexpr const char* kSegmentOutputOverrun = "Segment output overran its size";
// A segment checked before it is rebased (the package's processor does by default).
inline constexpr const char* kSegmentWithoutBoxes = "Segment holds no box";
inline constexpr const char* kMoofWithoutMdat = "Segment has a moof without its mdat";
inline constexpr const char* kRunPastMediaData = "Segment cut short: a track run reaches past its media data";
inline std::string segment_cut_short(std::string_view type) {
  return "Segment cut short: its " + std::string(type) + " box runs past its end";
}

// Thumbnails.
inline std::string box_not_found(std::string_view type) { return "Box " + std::string(type) + " not found"; }
inline std::string box_not_in_container(std::string_view type) {
  return "Box " + std::string(type) + " not found in container";
}
inline constexpr const char* kNoKeyFrame = "No key frame found in video track";
inline constexpr const char* kInvalidStsz = "Invalid stsz box";
inline constexpr const char* kNoSampleSizes = "Invalid stsz box - no sample sizes";
inline constexpr const char* kInvalidMdat = "Invalid mdat box";
inline constexpr const char* kSampleBeyondMdat = "Sample size exceeds mdat bounds";
inline constexpr const char* kKeyFrameWithoutParameterSets =
    "Key frame has no SPS and PPS: neither its sample entry nor its sample holds them";
inline constexpr const char* kKeyFrameWithoutHevcParameterSets =
    "Key frame has no VPS, SPS and PPS: neither its sample entry nor its sample holds them";
inline constexpr const char* kKeyFrameWithoutPicture = "Key frame sample holds no coded picture";
// A movie whose video is neither H.264 nor HEVC: `entry` is its sample entry type.
inline std::string unsupported_video_track(std::string_view entry) {
  return "Unsupported video track: " + std::string(entry) + " (only H.264 and HEVC video give thumbnails)";
}

// Files read and written by the file-to-file operations (the package puts the path before
// the message; a failed system call adds its own reason after ": ").
inline constexpr const char* kNotRegularFile = "Not a regular file";
inline constexpr const char* kFileTooLarge = "File too large";
inline constexpr const char* kCannotRead = "Cannot read the input";
inline constexpr const char* kCannotWrite = "Cannot write the output";
inline constexpr const char* kCannotCopy = "Cannot copy the input to the output";
inline constexpr const char* kCannotReserve = "Cannot reserve address space for the input";
inline std::string file_cut_short(std::uint64_t needed_end) {
  return "File was cut short while it was read: it no longer reaches byte " + std::to_string(needed_end);
}

}  // namespace plexo::msg
