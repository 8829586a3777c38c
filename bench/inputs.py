"""Benchmark inputs, made once with ffmpeg under bench/data/ and reused by later runs.

One encode gives the transport stream (H.264 with B-frames, a key frame every 2 s, 48 kHz AAC);
every other input is a stream-copy remux of it, so all operations work on the same pictures
and sounds:

- `ts`            the transport stream
- `hevc_ts`       the same pictures and sound encoded as HEVC (libx265) in a transport stream
- `fragmented`    its fragmented MP4 (one fragment per key frame), video and audio
- `progressive`   its progressive MP4 (`moov` before `mdat`), video track first
- `video`         fragmented MP4 of the video alone, track ID 1
- `audio`         fragmented MP4 of the audio alone, track ID 2 (so that the two can be muxed)
- `segments`      2-second fragmented MP4 media segments as a live packager writes them, with
                  decode times that start at one hour
"""
from __future__ import annotations

import dataclasses
import pathlib
import shutil
import subprocess

DATA = pathlib.Path(__file__).parent / "data"

FFMPEG = ["ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-y"]
FRAGMENTED = ["-movflags", "frag_keyframe+empty_moov+default_base_moof"]
# ADTS headers of the transport stream's AAC become the MP4 sample description.
ADTS_TO_MP4 = ["-bsf:a", "aac_adtstoasc"]


@dataclasses.dataclass(frozen=True)
class Inputs:
    folder: pathlib.Path
    ts: pathlib.Path
    fragmented: pathlib.Path
    progressive: pathlib.Path
    video: pathlib.Path
    audio: pathlib.Path
    ts_ac3: pathlib.Path  # the transport stream with its audio as AC-3
    hevc_ts: pathlib.Path

    @classmethod
    def under(cls, folder: pathlib.Path) -> Inputs:
        names = ("stream.ts", "fragmented.mp4", "progressive.mp4", "video.mp4", "audio.mp4",
                 "stream_ac3.ts", "stream_hevc.ts")
        return cls(folder, *(folder / name for name in names))

    @property
    def segments(self) -> list[pathlib.Path]:
        return sorted((self.folder / "segments").glob("seg*.m4s"))


def _made(path: pathlib.Path, *args: str) -> None:
    """Runs ffmpeg with `args` and an output, unless `path` already exists. The output goes
    under a temporary name first, so that an interrupted run leaves no partial input behind.
    A `path` without suffix is a folder: `args` then name the files inside it through `{}`."""
    if path.exists():
        return
    partial = path.with_name(path.name + ".partial")
    if path.suffix:
        subprocess.run([*FFMPEG, *args, "-f", FORMATS[path.suffix], str(partial)], check=True)
    else:
        shutil.rmtree(partial, ignore_errors=True)
        partial.mkdir()
        subprocess.run([*FFMPEG, *(a.format(partial) for a in args)], check=True)
    partial.rename(path)


FORMATS = {".ts": "mpegts", ".mp4": "mp4"}


def _track_ids(path: pathlib.Path) -> list[int]:
    """Track IDs of an MP4 as ffprobe reports them (the stream id of an MP4 track)."""
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=id", "-of", "csv=p=0",
                          str(path)], check=True, capture_output=True, text=True).stdout
    return [int(line, 16) for line in out.split()]


def make(seconds: int = 60) -> Inputs:
    """The inputs of a `seconds`-long 1080p stream, made where missing."""
    inputs = Inputs.under(DATA / f"1080p_{seconds}s")
    inputs.folder.mkdir(parents=True, exist_ok=True)
    # About 8 Mbit/s of H.264 with B-frames and 48 kHz AAC: roughly 1 MB a second.
    _made(inputs.ts,
          "-f", "lavfi", "-i", f"testsrc2=size=1920x1080:rate=30:duration={seconds}",
          "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000:duration={seconds}",
          "-map", "0:v", "-map", "1:a",
          "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "8M", "-maxrate", "8M",
          "-bufsize", "16M", "-bf", "2", "-g", "60", "-pix_fmt", "yuv420p",
          "-c:a", "aac", "-b:a", "128k", "-ac", "2")
    # The same pictures with 384 kbit/s AC-3, as a broadcast carries it.
    _made(inputs.ts_ac3, "-i", str(inputs.ts), "-map", "0:v", "-map", "0:a", "-c:v", "copy",
          "-c:a", "ac3", "-b:a", "384k")
    # The same at about the same rate in HEVC, B-frames and key frames as above.
    _made(inputs.hevc_ts,
          "-f", "lavfi", "-i", f"testsrc2=size=1920x1080:rate=30:duration={seconds}",
          "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000:duration={seconds}",
          "-map", "0:v", "-map", "1:a",
          "-c:v", "libx265", "-preset", "ultrafast", "-b:v", "8M", "-maxrate", "8M",
          "-bufsize", "16M", "-pix_fmt", "yuv420p",
          "-x265-params", "bframes=2:keyint=60:min-keyint=60:scenecut=0:log-level=error",
          "-c:a", "aac", "-b:a", "128k", "-ac", "2")
    ts = ["-i", str(inputs.ts), "-c", "copy", *ADTS_TO_MP4]
    _made(inputs.fragmented, *ts, "-map", "0:v", "-map", "0:a", *FRAGMENTED)
    _made(inputs.progressive, *ts, "-map", "0:v", "-map", "0:a", "-movflags", "+faststart")
    _made(inputs.video, *ts, "-map", "0:v", *FRAGMENTED)
    # The muxer numbers tracks from 1 unless told to take the stream id as the track ID. Without
    # video there are no key frames to cut at: fragments of 2 s, like the video's.
    _made(inputs.audio, *ts, "-map", "0:a", "-streamid", "0:2", "-use_stream_ids_as_track_ids", "1",
          *FRAGMENTED, "-frag_duration", "2000000")
    if _track_ids(inputs.audio) != [2]:
        raise RuntimeError(f"{inputs.audio}: ffmpeg did not give the audio track ID 2")
    _made(inputs.folder / "segments", *ts, "-map", "0:v", "-map", "0:a",
          "-f", "hls", "-hls_time", "2", "-hls_segment_type", "fmp4", "-hls_playlist_type", "vod",
          "-output_ts_offset", "3600", "-hls_fmp4_init_filename", "init.mp4",
          "-hls_segment_filename", "{}/seg%03d.m4s", "{}/index.m3u8")
    return inputs


def looped(inputs: Inputs, times: int) -> pathlib.Path:
    """The transport stream played `times` times over as one stream (timestamps continued),
    made where missing: a long input for memory that must not grow with the stream. Joined
    by ffmpeg's concat demuxer, which keeps every packet: -stream_loop drops the key frame
    that opens each repeat, leaving a GOP, and so a fragment, twice as long at every seam."""
    path = inputs.folder / f"stream_joined_x{times}.ts"
    listing = inputs.folder / f"stream_joined_x{times}.txt"
    listing.write_text(f"file '{inputs.ts.resolve()}'\n" * times)
    try:
        _made(path, "-f", "concat", "-safe", "0", "-i", str(listing), "-c", "copy")
    finally:
        listing.unlink()
    return path
