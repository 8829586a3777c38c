"""reset_mp4_timestamps and convert_mp4_reset_timestamps on the 60-second 1080p fragmented MP4
of bench_defragment.py (~60 MB): throughput against the copy floor, and the peak memory one
reset adds. The reset is one copy of the input with a few fields rewritten; convert defragments
this file.

    python bench/bench_reset.py
"""
from __future__ import annotations

import _plexo
from bench_defragment import SOURCE, make_input
from common import copy_floor, peak_extra_memory, report, throughput


def main() -> None:
    if not SOURCE.exists():
        make_input()
    data = SOURCE.read_bytes()
    rows = {
        "copy floor": copy_floor(data),
        "reset_mp4_timestamps": throughput(_plexo.reset_mp4_timestamps, data),
        "convert_mp4_reset_timestamps": throughput(_plexo.convert_mp4_reset_timestamps, data),
    }
    report("reset_mp4_timestamps", len(data), rows)
    extra = peak_extra_memory("_plexo.reset_mp4_timestamps(data)", SOURCE)
    print(f"  peak extra memory            {extra / 1e6:9.1f} MB   {extra / len(data):5.2f}x input")


if __name__ == "__main__":
    main()
