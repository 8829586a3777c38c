#include "mp4_writer/sample_framing.hpp"

namespace plexo::mp4w {

Result<std::uint64_t> video_media_bytes(const ts::TsDemuxResult& demuxed) {
  std::uint64_t total = 0;
  for (const ts::AccessUnit& unit : demuxed.access_units) {
    if (unit.sample_size > 0xFFFFFFFFu) return fail("H.264 access unit too large for an MP4 sample");
    total += unit.sample_size;
  }
  return total;
}

std::uint64_t audio_media_bytes(const ts::TsDemuxResult& demuxed) {
  std::uint64_t total = 0;
  for (const ts::AudioFrame& frame : demuxed.audio_frames) total += frame.size;
  return total;
}

void write_video_samples(Buffer& out, const ts::TsDemuxResult& demuxed) {
  ts::ElementaryStream::Copier copier(demuxed.video);
  auto sink = [&out](ByteView piece) { out.put(piece); };
  for (const ts::NalRange& nal : demuxed.nal_units) {
    out.put_u32(nal.size);
    copier.copy(nal.header, nal.size, sink);
  }
}

void write_audio_frames(Buffer& out, const ts::TsDemuxResult& demuxed) {
  ts::ElementaryStream::Copier copier(demuxed.audio);
  auto sink = [&out](ByteView piece) { out.put(piece); };
  for (const ts::AudioFrame& frame : demuxed.audio_frames) copier.copy(frame.begin, frame.size, sink);
}

}  // namespace plexo::mp4w
