"""defragment_mp4 on a 60-second 1080p fragmented MP4 (~60 MB): throughput against the copy
floor and against ffmpeg -c copy, and the peak memory one call adds.

    python bench/bench_defragment.py
"""
from __future__ import annotations

import subprocess

import _plexo
from common import DATA, copy_floor, ffmpeg_copy_seconds, peak_extra_memory, report, throughput

SOURCE = DATA / "frag_1080p_60s.mp4"


def make_input() -> None:
    DATA.mkdir(parents=True, exist_ok=True)
    subprocess.run([
        "ffmpeg", "-nostdin", "-v", "error", "-y",
        "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30:duration=60",
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=60",
        "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "7500k", "-g", "60", "-pix_fmt", "yuv420p",
        "-c:a", "aac", "-b:a", "128k",
        "-movflags", "frag_keyframe+empty_moov+default_base_moof", str(SOURCE),
    ], check=True)


def main() -> None:
    if not SOURCE.exists():
        make_input()
    data = SOURCE.read_bytes()
    rows = {
        "copy floor": copy_floor(data),
        "defragment_mp4": throughput(_plexo.defragment_mp4, data),
        "ffmpeg -c copy (mp4)": len(data) / ffmpeg_copy_seconds(SOURCE, "mp4") / 1e6,
    }
    report("defragment_mp4", len(data), rows)
    extra = peak_extra_memory("_plexo.defragment_mp4(data)", SOURCE)
    print(f"  peak extra memory            {extra / 1e6:9.1f} MB   {extra / len(data):5.2f}x input")


if __name__ == "__main__":
    main()
