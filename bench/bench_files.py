"""The file-to-file operations on recordings of about 2.5 GB, against `cp` of the same file in
the same run: wall time (page cache warm, best of the rounds) and the peak memory of the
process, each measured in a fresh process.

    python bench/bench_files.py              # 2.5 GB inputs, best of 3
    python bench/bench_files.py --gb 0.5     # smaller inputs
    python bench/bench_files.py --only defragment_file

The inputs are the 60-second 1080p stream of inputs.py looped with ffmpeg's -stream_loop
(continuous timestamps) into bench/data/large/, made once. Outputs are written beside them
and removed after each call. The file functions sync their output before renaming it into
place; `cp` does not, so a row for `cp` followed by a sync of the copy is shown as well.
"""
from __future__ import annotations

import argparse
import pathlib
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import inputs as bench_inputs  # noqa: E402

LARGE = bench_inputs.DATA / "large"

# name: (input, how one call is made in a fresh interpreter)
CASES = {
    "convert_file": ("stream.ts", "plexo.convert_file(src, dst, diagnostics=False)"),
    "defragment_file": ("fragmented.mp4", "plexo.defragment_file(src, dst)"),
    "reset_file": ("fragmented.mp4", "plexo.reset_file(src, dst)"),
}


def looped(gigabytes: float) -> dict[str, pathlib.Path]:
    """The looped inputs of about `gigabytes` each, made where missing."""
    base = bench_inputs.make(60)
    folder = LARGE / f"{gigabytes:g}gb"
    folder.mkdir(parents=True, exist_ok=True)
    made = {}
    for name, source, extra in [("stream.ts", base.ts, ["-f", "mpegts"]),
                                ("fragmented.mp4", base.fragmented,
                                 [*bench_inputs.FRAGMENTED, "-f", "mp4"])]:
        path = folder / name
        if not path.exists():
            loops = max(0, round(gigabytes * 1e9 / source.stat().st_size) - 1)
            partial = path.with_name(path.name + ".partial")
            subprocess.run([*bench_inputs.FFMPEG, "-stream_loop", str(loops), "-i", str(source),
                            "-map", "0", "-c", "copy", *extra, str(partial)], check=True)
            partial.rename(path)
        made[name] = path
    return made


def run_measured(argv: list[str]) -> tuple[float, int]:
    """Wall time and peak resident memory (bytes) of one process, as /usr/bin/time reports
    them (its own small process starts the command, so the figure is the command's own: a
    process started from this interpreter would inherit its high-water mark)."""
    done = subprocess.run(["/usr/bin/time", "-f", "%e %M", *argv], capture_output=True, text=True,
                          check=False)
    if done.returncode != 0:
        raise RuntimeError(f"{argv} failed: {done.stderr}")
    seconds, kilobytes = done.stderr.strip().splitlines()[-1].split()
    return float(seconds), int(kilobytes) * 1024


def warm(path: pathlib.Path) -> None:
    with open(path, "rb") as f:
        while f.read(16 << 20):
            pass


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--gb", type=float, default=2.5, help="size of each input (default 2.5)")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", nargs="*", choices=list(CASES))
    args = parser.parse_args()

    paths = looped(args.gb)
    print(f"{'case':<18}{'input':>10}{'seconds':>9}{'x cp':>7}{'x cp+sync':>11}{'peak MiB':>10}"
          f"{'cp MiB':>8}")
    for name in args.only or CASES:
        source_name, call = CASES[name]
        src = paths[source_name]
        dst = src.with_name("out_" + src.name + (".mp4" if source_name.endswith(".ts") else ""))
        warm(src)
        code = f"import plexo; src, dst = {str(src)!r}, {str(dst)!r}; {call}"
        contenders = {
            "cp": ["cp", str(src), str(dst)],
            "cp+sync": ["sh", "-c", f"cp '{src}' '{dst}' && sync '{dst}'"],
            name: [sys.executable, "-c", code],
        }
        best = {key: (float("inf"), 0) for key in contenders}
        for _ in range(args.repeat):
            for key, argv in contenders.items():
                seconds, peak = run_measured(argv)
                best[key] = (min(best[key][0], seconds), max(best[key][1], peak))
                dst.unlink()
        seconds, peak = best[name]
        print(f"{name:<18}{src.stat().st_size / 1e9:>8.2f}GB{seconds:>9.2f}"
              f"{seconds / best['cp'][0]:>7.2f}{seconds / best['cp+sync'][0]:>11.2f}"
              f"{peak / 2**20:>10.1f}{best['cp'][1] / 2**20:>8.1f}")


if __name__ == "__main__":
    main()
