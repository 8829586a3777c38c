"""Every operation of plexo on a 60-second 1080p stream, measured in one run.

    python bench/run.py            # 60 s inputs, best of 5
    python bench/run.py --quick    # 4 s inputs, one repeat: checks that everything runs
    python bench/run.py --only convert_ts_to_mp4 defragment_mp4

For each operation it prints the throughput over its input, the speed as a multiple of the
copy floor `bytes(bytearray(x))`, of one `bytearray(x)` copy and of one C memcpy into fresh
huge-page memory of the same bytes, and of PyAV's in-process remux of the same input where
there is one (all timed in rounds alternating with the operation's own), two threads against
one (the same calls split over a pool of two), and the peak memory one call adds, as a multiple
of its input. Beside each operation's two-thread figure stands that of a C memcpy into fresh
memory of the same bytes, timed in the same rounds: how far two threads could scale meanwhile.

The inputs are made once with ffmpeg under bench/data/ (see inputs.py).
"""
from __future__ import annotations

import argparse
import dataclasses
import json
import os
import pathlib
import platform
import subprocess
import sys
from typing import Callable, Sequence

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import common  # noqa: E402
import inputs as bench_inputs  # noqa: E402

import _plexo  # noqa: E402


def process_all(*segments: bytes) -> None:
    """One fresh processor given every segment in order, as a live client would."""
    processor = _plexo.FragmentedMP4Processor()
    for segment in segments:
        processor.process_segment(segment)


def convert_ts_to_fmp4(data: bytes) -> bytes:
    """The one-shot fragmented conversion, 2-second fragments, without diagnostic lines."""
    return _plexo._convert_ts_to_fmp4(data, 2.0, False)


SEGMENTER_CHUNK = 188 * 1024


def segment_all(data: bytes) -> None:
    """A live client of the segmenter: the stream pushed in 188x1024-byte pieces, 2 s
    fragments, each fragment dropped once returned."""
    segmenter = _plexo._TsSegmenter(2.0)
    view = memoryview(data)
    for at in range(0, len(data), SEGMENTER_CHUNK):
        segmenter.push(bytes(view[at:at + SEGMENTER_CHUNK]))
    segmenter.flush()


# The segmenter reading its stream from a file piece by piece, for its peak memory: nothing
# but the pieces, the fragments and the segmenter's own state is held.
SEGMENT_FILE = """
import _plexo, json, os
def hwm():
    for line in open('/proc/self/status'):
        if line.startswith('VmHWM:'):
            return int(line.split()[1]) * 1024
before = hwm()
segmenter = _plexo._TsSegmenter(2.0)
largest = 0
with open({path!r}, 'rb') as stream:
    while chunk := stream.read({chunk}):
        largest = max([largest, *map(len, segmenter.push(chunk))])
largest = max([largest, *map(len, segmenter.flush())])
print(json.dumps({{'before': before, 'after': hwm(), 'largest': largest}}))
"""


def segmenter_peak(path: pathlib.Path) -> tuple[int, int]:
    """Bytes of resident memory the segmenter adds over a whole stream read from `path`, and
    the size of its largest fragment (which it holds while writing it, and once written)."""
    result = subprocess.run([sys.executable, "-c", SEGMENT_FILE.format(path=str(path), chunk=SEGMENTER_CHUNK)],
                            capture_output=True, text=True, check=True)
    numbers = json.loads(result.stdout)
    return numbers["after"] - numbers["before"], numbers["largest"]


@dataclasses.dataclass(frozen=True)
class Operation:
    name: str
    run: Callable[..., object]
    files: Callable[[bench_inputs.Inputs], list[pathlib.Path]]
    # One call in a fresh interpreter for the peak memory, over `_plexo` and `inputs` (the
    # bytes of `peak_files`, or of `files` when there are none).
    peak_call: str
    peak_files: Callable[[bench_inputs.Inputs], list[pathlib.Path]] | None = None
    pyav_format: str | None = None  # the input's format for PyAV's remux to MP4
    # Its inputs are pieces of one stream (live segments): the floor is then also measured
    # over the pieces joined, as the whole-file operations' floor is.
    pieces: bool = False

    def peak_paths(self, made: bench_inputs.Inputs) -> list[pathlib.Path]:
        return (self.peak_files or self.files)(made)


def _single(name: str, files: Callable[[bench_inputs.Inputs], list[pathlib.Path]],
            pyav_format: str | None = None) -> Operation:
    return Operation(name, getattr(_plexo, name), files, f"_plexo.{name}(inputs[0])",
                     pyav_format=pyav_format)


OPERATIONS = [
    _single("convert_ts_to_mp4", lambda i: [i.ts], pyav_format="mpegts"),
    Operation("convert_ts_to_fmp4", convert_ts_to_fmp4, lambda i: [i.ts],
              "_plexo._convert_ts_to_fmp4(inputs[0], 2.0, False)"),
    Operation("ts_segmenter", segment_all, lambda i: [i.ts],
              "[s := _plexo._TsSegmenter(2.0), [s.push(inputs[0][a:a + 188 * 1024]) "
              "for a in range(0, len(inputs[0]), 188 * 1024)], s.flush()]"),
    Operation("convert_ts_to_mp4-ac3", _plexo.convert_ts_to_mp4, lambda i: [i.ts_ac3],
              "_plexo.convert_ts_to_mp4(inputs[0])", pyav_format="mpegts"),
    Operation("convert_ts_to_mp4-hevc", _plexo.convert_ts_to_mp4, lambda i: [i.hevc_ts],
              "_plexo.convert_ts_to_mp4(inputs[0])", pyav_format="mpegts"),
    _single("defragment_mp4", lambda i: [i.fragmented], pyav_format="mp4"),
    Operation("mux_fmp4_tracks", _plexo.mux_fmp4_tracks, lambda i: [i.video, i.audio],
              "_plexo.mux_fmp4_tracks(inputs[0], inputs[1])"),
    _single("reset_mp4_timestamps", lambda i: [i.fragmented]),
    _single("convert_mp4_reset_timestamps", lambda i: [i.fragmented], pyav_format="mp4"),
    _single("extract_thumbnail_from_ts", lambda i: [i.ts]),
    _single("extract_thumbnail_from_mp4", lambda i: [i.progressive]),
    Operation("process_segment", process_all, lambda i: i.segments,
              "_plexo.FragmentedMP4Processor().process_segment(inputs[0])",
              peak_files=lambda i: i.segments[:1], pieces=True),
]


@dataclasses.dataclass
class Row:
    name: str
    size: int
    status: str = ""  # empty when measured, else why not
    seconds: float = 0.0
    floor: float = 0.0  # seconds of bytes(bytearray(x))
    bytearray: float = 0.0  # seconds of one bytearray(x)
    memcpy: float = 0.0  # seconds of one C memcpy into fresh huge-page memory
    pyav: float | None = None  # seconds of PyAV's remux
    threads: float | None = None  # 2-thread throughput / 1-thread throughput
    copy_threads: float | None = None  # the same for memcpy_fresh of the same bytes, same rounds
    peak: float | None = None  # peak extra memory / input size
    joined_floor: float | None = None  # seconds of the floor over the pieces joined


def measure(op: Operation, made: bench_inputs.Inputs, repeat: int, calls: int) -> Row:
    data = [path.read_bytes() for path in op.files(made)]
    row = Row(op.name, sum(len(d) for d in data))
    try:
        op.run(*data)  # warms up
    except Exception as error:  # noqa: BLE001 - any failure becomes the row's status
        row.status = f"failed: {type(error).__name__}: {error}"
        return row
    contenders = {
        "operation": lambda: op.run(*data),
        "floor": lambda: common.copy_twice(*data),
        "bytearray": lambda: common.copy_once(*data),
        "memcpy": lambda: common.memcpy_fresh(*data),
    }
    if op.pieces:
        joined = b"".join(data)
        contenders["joined"] = lambda: common.copy_twice(joined)
    if op.pyav_format and common.av is not None:
        common.pyav_remux(data[0], op.pyav_format)  # warm-up, as for the operation
        contenders["pyav"] = lambda: common.pyav_remux(data[0], op.pyav_format)
    best = common.best_seconds(contenders, repeat=repeat)
    row.seconds, row.floor, row.bytearray, row.memcpy = (
        best["operation"], best["floor"], best["bytearray"], best["memcpy"])
    row.pyav = best.get("pyav")
    row.joined_floor = best.get("joined")
    scaling = common.thread_scalings({"operation": (op.run, data), "copy": (common.memcpy_fresh, data)},
                                     count=calls, repeat=(repeat + 1) // 2)
    row.threads, row.copy_threads = scaling["operation"], scaling["copy"]
    peak_paths = op.peak_paths(made)
    row.peak = common.peak_extra_memory(op.peak_call, peak_paths) / sum(p.stat().st_size for p in peak_paths)
    return row


def floor_thread_scaling(made: bench_inputs.Inputs, repeat: int, calls: int) -> float:
    """Two threads against one for the memcpy floor on the transport stream: how far this
    machine lets two threads scale at all right now."""
    data = made.ts.read_bytes()
    return common.thread_scaling(common.memcpy_fresh, [data], calls=calls, repeat=(repeat + 1) // 2)


def _number(value: float) -> str:
    """Three significant figures or more, without an exponent."""
    return f"{value:.3f}" if value < 1 else f"{value:.2f}" if value < 10 else f"{value:.1f}" \
        if value < 100 else f"{value:.0f}"


def _ratio(value: float | None) -> str:
    return "-" if value is None else _number(value) + "x"


def print_table(rows: Sequence[Row]) -> None:
    head = (f"{'operation':<29}{'input':>9}{'ms':>9}{'MB/s':>10}{'floor':>9}{'bytearr':>9}"
            f"{'memcpy':>9}{'PyAV':>8}{'2T/1T':>7}{'copy':>7}{'peak':>7}")
    print(head)
    print("-" * len(head))
    for r in rows:
        start = f"{r.name:<29}{r.size / 1e6:>6.1f} MB"
        if r.status:
            print(f"{start}  {r.status}")
            continue
        print(f"{start}{_number(r.seconds * 1e3):>9}{r.size / r.seconds / 1e6:>10.0f}"
              f"{_ratio(r.floor / r.seconds):>9}{_ratio(r.bytearray / r.seconds):>9}"
              f"{_ratio(r.memcpy / r.seconds):>9}{_ratio(r.pyav and r.pyav / r.seconds):>8}"
              f"{_ratio(r.threads):>7}{_ratio(r.copy_threads):>7}{_ratio(r.peak):>7}")
    print()
    print("The same run's references, in ms (input as above):")
    head = f"{'operation':<29}{'floor':>9}{'bytearr':>9}{'memcpy':>9}{'PyAV':>9}"
    print(head)
    print("-" * len(head))
    for r in rows:
        if not r.status:
            pyav = "-" if r.pyav is None else _number(r.pyav * 1e3)
            print(f"{r.name:<29}{_number(r.floor * 1e3):>9}{_number(r.bytearray * 1e3):>9}"
                  f"{_number(r.memcpy * 1e3):>9}{pyav:>9}")
    for r in rows:
        if not r.status and r.joined_floor:
            print(f"{r.name}: its floor copies each piece apart (small copies that stay in cache);\n"
                  f"  over the pieces joined as one buffer the floor takes {_number(r.joined_floor * 1e3)} ms, "
                  f"the operation {_ratio(r.joined_floor / r.seconds)} as fast")


LEGEND = """\
floor, bytearr, memcpy: speed as a multiple of bytes(bytearray(x)), of one bytearray(x) and of
  one C memcpy into fresh huge-page memory, each of the same bytes (higher is faster).
PyAV: speed as a multiple of PyAV's in-process remux of the same input to MP4.
2T/1T: throughput of the same calls on two threads over one thread.
copy: 2T/1T of one C memcpy into fresh huge-page memory of the same bytes, timed in the same
  rounds as the operation's: the scaling this machine allowed meanwhile.
peak: peak memory one call adds, as a multiple of its input (fresh interpreter, VmHWM).
Targets: convert_ts_to_mp4 >= 1.8x floor (its -ac3 and -hevc inputs alike), convert_ts_to_fmp4
  >= 1.8x floor; ts_segmenter >= 1 GB/s and its peak memory the same for 60 s and 600 s;
  defragment, mux, reset >= 3x; process_segment >= 2x; >= 2x PyAV (TS -> MP4), >= 3x PyAV
  (fMP4 -> MP4); 2T/1T >= 1.8 (and >= 0.9x its copy); peak <= 1.2x."""


def main(argv: Sequence[str] | None = None, only: Sequence[str] | None = None) -> list[Row]:
    names = [op.name for op in OPERATIONS]
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="4-second inputs, one repeat")
    parser.add_argument("--repeat", type=int, help="best of how many runs (default 5, 1 with --quick)")
    parser.add_argument("--only", nargs="+", choices=names, metavar="OPERATION",
                        help=f"measure only these: {', '.join(names)}")
    args = parser.parse_args(argv)
    repeat = args.repeat or (1 if args.quick else 5)
    calls = 2 if args.quick else 4
    chosen = set(args.only or only or names)

    made = bench_inputs.make(4 if args.quick else 60)
    print(f"plexo {_plexo.__version__}, Python {platform.python_version()}, {os.cpu_count()} CPUs, "
          f"load {os.getloadavg()[0]:.1f}, transparent huge pages: {common.huge_pages_setting()}, "
          f"PyAV: {common.av.__version__ if common.av else 'not installed (pip install .[bench])'}")
    print(f"inputs: {made.folder}, best of {repeat}, {calls} calls for 2T/1T")
    rows = []
    with common.native_stdout_silenced():
        for op in OPERATIONS:
            if op.name in chosen:
                rows.append(measure(op, made, repeat, calls))
        floor_threads = floor_thread_scaling(made, repeat, calls)
        segmenter_memory = None
        if "ts_segmenter" in chosen and not args.quick:
            # Its memory must not grow with the stream: the same stream ten times over.
            long = bench_inputs.looped(made, 10)
            segmenter_memory = (segmenter_peak(made.ts), segmenter_peak(long))
        print()
        print_table(rows)
        print()
        print(LEGEND)
        if segmenter_memory:
            (short, short_largest), (long, long_largest) = segmenter_memory
            print(f"ts_segmenter peak memory, stream read from a file in 188x1024-byte pieces: "
                  f"{short / 1e6:.1f} MB for 60 s, {long / 1e6:.1f} MB for 600 s "
                  f"(largest fragment {short_largest / 1e6:.1f} MB, {long_largest / 1e6:.1f} MB)")
        print(f"memcpy floor on two threads: {floor_threads:.2f}x one thread; "
              f"load at the end {os.getloadavg()[0]:.1f}")
    return rows


if __name__ == "__main__":
    main()
