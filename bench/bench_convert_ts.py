"""convert_ts_to_mp4 on a 60-second 1080p transport stream, H.264 with AAC and with AC-3 audio,
and HEVC with AAC: run.py's measurements for this one operation (`--quick` for small inputs).

    python bench/bench_convert_ts.py
"""
from __future__ import annotations

import run

if __name__ == "__main__":
    run.main(only=["convert_ts_to_mp4", "convert_ts_to_mp4-ac3", "convert_ts_to_mp4-hevc"])
