"""FragmentedMP4Processor.process_segment on the 2-second live segments of a 60-second 1080p
stream: run.py's measurements for this one operation (`--quick` for small inputs).

    python bench/bench_segments.py
"""
from __future__ import annotations

import run

if __name__ == "__main__":
    run.main(only=["process_segment"])
