"""reset_mp4_timestamps and convert_mp4_reset_timestamps on the fragmented MP4 of a 60-second
1080p stream: run.py's measurements for these operations (`--quick` for small inputs).

    python bench/bench_reset.py
"""
from __future__ import annotations

import run

if __name__ == "__main__":
    run.main(only=["reset_mp4_timestamps", "convert_mp4_reset_timestamps"])
