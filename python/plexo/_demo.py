"""``plexo demo``: runs the operations on the sample that ships with the package."""
from __future__ import annotations

import pathlib
import time
from typing import Callable, Optional

from . import _core, __version__

DATA = pathlib.Path(__file__).parent / "data"


def _run(label: str, func: Callable[..., bytes], *args: bytes) -> bytes:
    start = time.perf_counter()
    out = func(*args)
    elapsed = time.perf_counter() - start
    size = sum(len(a) for a in args)
    print(f"{label}: {size} bytes in, {len(out)} bytes out, {elapsed * 1000:.1f} ms", flush=True)
    return out


def demo(out_dir: Optional[pathlib.Path]) -> int:
    sample = (DATA / "sample.ts").read_bytes()
    print(f"plexo {__version__}; sample transport stream: {len(sample)} bytes", flush=True)
    # The demultiplexer's diagnostic lines are part of the show: they go to standard output.
    mp4 = _run("convert_ts_to_mp4", _core.convert_ts_to_mp4, sample)
    thumb = _run("extract_thumbnail_from_ts", _core.extract_thumbnail_from_ts, sample)
    _run("extract_thumbnail_from_mp4", _core.extract_thumbnail_from_mp4, mp4)
    fragmented = DATA / "sample_fragmented.mp4"
    if fragmented.exists():
        _run("defragment_mp4", _core.defragment_mp4, fragmented.read_bytes())
    if out_dir is not None:
        out_dir.mkdir(parents=True, exist_ok=True)
        (out_dir / "sample.mp4").write_bytes(mp4)
        (out_dir / "sample_thumbnail.h264").write_bytes(thumb)
        print(f"wrote results to {out_dir}")
    return 0
