"""Throughput and peak memory of convert_ts_to_mp4 on a 60-second 1080p transport stream,
against the copy floor and against ffmpeg remuxing the same file."""
from __future__ import annotations

import subprocess

import _plexo
from common import DATA, copy_floor, ffmpeg_copy_seconds, peak_extra_memory, report, throughput

SOURCE = DATA / "ts_1080p_60s.ts"


def make_source() -> None:
    if SOURCE.exists():
        return
    DATA.mkdir(parents=True, exist_ok=True)
    # About 8 Mbit/s of H.264 with B-frames and 48 kHz AAC: roughly 60 MB.
    subprocess.run([
        "ffmpeg", "-nostdin", "-v", "error", "-y",
        "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30:duration=60",
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=60",
        "-map", "0:v", "-map", "1:a",
        "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "8M", "-maxrate", "8M",
        "-bufsize", "16M", "-bf", "2", "-c:a", "aac", "-b:a", "128k", "-ac", "2",
        "-f", "mpegts", str(SOURCE)], check=True)


def main() -> None:
    make_source()
    data = SOURCE.read_bytes()
    rows = {
        "copy floor": copy_floor(data),
        "convert_ts_to_mp4": throughput(_plexo.convert_ts_to_mp4, data),
    }
    seconds = min(ffmpeg_copy_seconds(SOURCE, "mp4", "-movflags", "+faststart") for _ in range(3))
    rows["ffmpeg -c copy (mp4)"] = len(data) / seconds / 1e6
    report("convert_ts_to_mp4", len(data), rows)
    extra = peak_extra_memory("_plexo.convert_ts_to_mp4(data)", SOURCE)
    print(f"  peak extra memory {extra / 1e6:.1f} MB = {extra / len(data):.2f}x input")


if __name__ == "__main__":
    main()
