"""mux_fmp4_tracks on a 60-second 1080p video fragmented MP4 and its audio fragmented MP4:
run.py's measurements for this one operation (`--quick` for small inputs).

    python bench/bench_mux.py
"""
from __future__ import annotations

import run

if __name__ == "__main__":
    run.main(only=["mux_fmp4_tracks"])
