"""defragment_mp4 on the fragmented MP4 of a 60-second 1080p stream: run.py's measurements for
this one operation (`--quick` for small inputs).

    python bench/bench_defragment.py
"""
from __future__ import annotations

import run

if __name__ == "__main__":
    run.main(only=["defragment_mp4"])
