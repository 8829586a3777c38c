"""``python -m plexo demo``: runs the operations on the sample that ships with the package."""
from __future__ import annotations

import argparse
import pathlib
import sys
import time

import _plexo

DATA = pathlib.Path(__file__).parent / "data"


def _run(label: str, func, *args) -> bytes | None:
    start = time.perf_counter()
    try:
        out = func(*args)
    except NotImplementedError as exc:
        print(f"{label}: not available yet ({exc})")
        return None
    elapsed = time.perf_counter() - start
    size = sum(len(a) for a in args)
    print(f"{label}: {size} bytes in, {len(out)} bytes out, {elapsed * 1000:.1f} ms", flush=True)
    return out


def demo(out_dir: pathlib.Path | None) -> int:
    sample = (DATA / "sample.ts").read_bytes()
    print(f"_plexo {_plexo.__version__}; sample transport stream: {len(sample)} bytes", flush=True)
    mp4 = _run("convert_ts_to_mp4", _plexo.convert_ts_to_mp4, sample)
    thumb = _run("extract_thumbnail_from_ts", _plexo.extract_thumbnail_from_ts, sample)
    if mp4 is not None:
        _run("extract_thumbnail_from_mp4", _plexo.extract_thumbnail_from_mp4, mp4)
    fragmented = (DATA / "sample_fragmented.mp4")
    if fragmented.exists():
        _run("defragment_mp4", _plexo.defragment_mp4, fragmented.read_bytes())
    if out_dir is not None:
        out_dir.mkdir(parents=True, exist_ok=True)
        if mp4 is not None:
            (out_dir / "sample.mp4").write_bytes(mp4)
        if thumb is not None:
            (out_dir / "sample_thumbnail.h264").write_bytes(thumb)
        print(f"wrote results to {out_dir}")
    return 0 if mp4 is not None else 1


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m plexo")
    sub = parser.add_subparsers(dest="command", required=True)
    demo_parser = sub.add_parser("demo", help="convert the bundled sample transport stream")
    demo_parser.add_argument("--out", type=pathlib.Path, help="folder to write the results to")
    args = parser.parse_args(argv)
    if args.command == "demo":
        return demo(args.out)
    return 2


if __name__ == "__main__":
    sys.exit(main())
