"""A small typed program over plexo, checked with ``mypy --strict`` in CI."""
from __future__ import annotations

import concurrent.futures
import io
import pathlib
import sys

import _plexo
import plexo


def convert_all(sources: list[pathlib.Path], out_dir: pathlib.Path, jobs: int = 2) -> int:
    """Converts every transport stream on a thread pool; returns the bytes written."""
    out_dir.mkdir(parents=True, exist_ok=True)
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        sizes = pool.map(
            lambda src: plexo.convert_file(src, out_dir / (src.stem + ".mp4"), diagnostics=False),
            sources)
        return sum(sizes)


def failures(sources: list[str], out_dir: str) -> list[str]:
    """Converts every file, one record each; returns the errors of those that failed."""
    return [record["error"] or "" for record in plexo.convert_many(sources, out_dir, jobs=2)
            if not record["ok"] and not record["skipped"]]


def summary(ts: bytes) -> str:
    lines = io.StringIO()
    mp4: bytes = plexo.convert_ts_to_mp4(ts, diagnostics=lines)
    thumb: bytes = plexo.extract_thumbnail_from_mp4(mp4)
    processor = plexo.FragmentedMP4Processor()
    base: int | None = processor.base_decode_time
    raw: bytes = _plexo.convert_ts_to_mp4(ts, reset_timestamps=False)
    return f"{len(mp4)} {len(thumb)} {base} {len(raw)} {lines.getvalue().count(chr(10))}"


def describe(media: bytes) -> list[str]:
    info: plexo.ProbeResult = plexo.probe(media)
    return [f"{track['kind']} {track['codec']} {track['duration']:.2f}" for track in info["tracks"]]


def picture(media: bytes) -> bytes:
    try:
        return plexo.thumbnail_image(media, "png", diagnostics=sys.stderr)
    except plexo.ImageSupportMissing:
        return plexo.extract_thumbnail(media, diagnostics=False)


if __name__ == "__main__":
    print(convert_all([pathlib.Path(p) for p in sys.argv[1:]], pathlib.Path("out")))
