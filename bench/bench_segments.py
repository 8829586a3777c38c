"""FragmentedMP4Processor.process_segment on 2-second 1080p live segments, against the copy
floor of the same bytes.

    python bench/bench_segments.py

Writes the segments once to bench/data/segments_1080p/ with ffmpeg (HLS, fMP4 segments,
video and audio muxed).
"""
from __future__ import annotations

import pathlib
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import DATA, best_seconds, report  # noqa: E402

import _plexo  # noqa: E402

SEGMENTS = DATA / "segments_1080p"


def make_segments() -> list[pathlib.Path]:
    if not any(SEGMENTS.glob("seg*.m4s")):
        SEGMENTS.mkdir(parents=True, exist_ok=True)
        subprocess.run([
            "ffmpeg", "-nostdin", "-v", "error", "-y",
            "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30",
            "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
            "-t", "12", "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "8M", "-g", "60",
            "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "128k",
            "-f", "hls", "-hls_time", "2", "-hls_segment_type", "fmp4", "-hls_playlist_type", "vod",
            "-output_ts_offset", "3600",
            "-hls_fmp4_init_filename", "init.mp4",
            "-hls_segment_filename", str(SEGMENTS / "seg%03d.m4s"), str(SEGMENTS / "index.m3u8"),
        ], check=True)
    return sorted(SEGMENTS.glob("seg*.m4s"))


def process_all(segments: list[bytes]) -> None:
    processor = _plexo.FragmentedMP4Processor()
    for segment in segments:
        processor.process_segment(segment)


def copy_all(segments: list[bytes]) -> None:
    for segment in segments:
        bytes(bytearray(segment))


def main() -> None:
    segments = [path.read_bytes() for path in make_segments()]
    size = sum(len(s) for s in segments)
    # Both rows are MB/s over the same bytes; the floor copies each segment as it arrives, the
    # way a caller receives them, so both work on segment-sized buffers.
    floor = size / best_seconds(copy_all, segments, repeat=20) / 1e6
    ours = size / best_seconds(process_all, segments, repeat=20) / 1e6
    report(f"process_segment, {len(segments)} segments of 2 s 1080p (video + audio)", size,
           {"copy floor": floor, "process_segment": ours})


if __name__ == "__main__":
    main()
