"""The ``plexo`` command line (also ``python -m plexo``)."""
from __future__ import annotations

import argparse
import concurrent.futures
import io
import json
import os
import pathlib
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence, TextIO

from . import _core, _files
from ._image import ImageSupportMissing

PROG = "plexo"
STDIO = "-"


class CommandError(Exception):
    """A one-line failure of one input (or of the command), shown as ``plexo: message``."""


# ---- reading and writing ------------------------------------------------------------------

def _read_input(name: str) -> bytes:
    if name == STDIO:
        return sys.stdin.buffer.read()
    try:
        return pathlib.Path(name).read_bytes()
    except OSError as exc:
        raise CommandError(f"{name}: {exc.strerror or exc}") from None


def _write_output(name: str, data: bytes) -> None:
    if name == STDIO:
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return
    try:
        pathlib.Path(name).write_bytes(data)
    except OSError as exc:
        raise CommandError(f"{name}: {exc.strerror or exc}") from None


# ---- progress and messages on standard error ------------------------------------------------

class Reporter:
    """Writes diagnostic lines and errors to standard error, one whole line at a time, and
    keeps a progress bar under them while a batch runs on a terminal."""

    def __init__(self, stream: TextIO, total: int, quiet: bool) -> None:
        self._stream = stream
        self._total = total
        self._done = 0
        self._quiet = quiet
        self._lock = threading.Lock()
        self._bar = total > 1 and not quiet and _isatty(stream)
        self._started = time.monotonic()

    def _draw(self) -> None:
        if not self._bar:
            return
        width = 30
        filled = width * self._done // self._total
        elapsed = time.monotonic() - self._started
        self._stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] "
                           f"{self._done}/{self._total} {elapsed:.1f} s")
        self._stream.flush()

    def lines(self, text: str, prefix: str = "") -> None:
        if self._quiet or not text:
            return
        with self._lock:
            if self._bar:
                self._stream.write("\r\x1b[K")
            for line in text.splitlines(keepends=True):
                self._stream.write(prefix + line)
            self._draw()
            self._stream.flush()

    def error(self, message: str) -> None:
        with self._lock:
            if self._bar:
                self._stream.write("\r\x1b[K")
            self._stream.write(f"{PROG}: {message}\n")
            self._draw()
            self._stream.flush()

    def advance(self) -> None:
        with self._lock:
            self._done += 1
            self._draw()

    def finish(self) -> None:
        if self._bar:
            with self._lock:
                self._stream.write("\n")
                self._stream.flush()


def _isatty(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


# ---- jobs ----------------------------------------------------------------------------------

@dataclass
class Job:
    inputs: List[str]
    output: str
    diagnostics: io.StringIO = field(default_factory=io.StringIO)


Operation = Callable[[List[bytes], io.StringIO], bytes]


def _run_job(job: Job, operation: Operation) -> None:
    data = [_read_input(name) for name in job.inputs]
    try:
        result = operation(data, job.diagnostics)
    except ImageSupportMissing as exc:
        raise CommandError(str(exc)) from None
    except ValueError as exc:
        raise CommandError(f"{' + '.join(job.inputs)}: {exc}") from None
    _write_output(job.output, result)


def _run_jobs(jobs: List[Job], operation: Operation, workers: int, quiet: bool,
              label_lines: bool) -> int:
    reporter = Reporter(sys.stderr, len(jobs), quiet)
    failures = 0

    def finished(job: Job, error: Optional[BaseException]) -> None:
        nonlocal failures
        prefix = f"{job.inputs[0]}: " if label_lines else ""
        reporter.lines(job.diagnostics.getvalue(), prefix)
        if error is not None:
            failures += 1
            reporter.error(str(error))
        reporter.advance()

    if workers <= 1 or len(jobs) == 1:
        for job in jobs:
            try:
                _run_job(job, operation)
                finished(job, None)
            except CommandError as exc:
                finished(job, exc)
    else:
        with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
            futures = {pool.submit(_run_job, job, operation): job for job in jobs}
            for future in concurrent.futures.as_completed(futures):
                error = future.exception()
                if error is not None and not isinstance(error, CommandError):
                    raise error
                finished(futures[future], error)
    reporter.finish()
    return 1 if failures else 0


def _plan(args: argparse.Namespace, suffix: Callable[[pathlib.Path], str]) -> List[Job]:
    """Pairs inputs with outputs: ``IN OUT``, or ``-o DIR IN...`` (outputs named after the
    inputs)."""
    paths: List[str] = args.files
    if args.output_dir is None:
        if len(paths) != 2:
            raise CommandError("give INPUT OUTPUT, or -o DIR with one or more inputs "
                               f"(see '{PROG} {args.command} --help')")
        return [Job([paths[0]], paths[1])]
    if not paths:
        raise CommandError("no input files")
    if paths.count(STDIO) > 1:
        raise CommandError("standard input can be read only once")
    out_dir = pathlib.Path(args.output_dir)
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise CommandError(f"{out_dir}: {exc.strerror or exc}") from None
    jobs: List[Job] = []
    seen: Dict[pathlib.Path, str] = {}
    for name in paths:
        source = pathlib.Path("stdin" if name == STDIO else name)
        target = out_dir / (source.stem + suffix(source))
        if target in seen:
            raise CommandError(f"{seen[target]} and {name} would both be written to {target}")
        if name != STDIO and source.exists() and target.exists() and \
                os.path.samefile(source, target):
            raise CommandError(f"{name}: the output would overwrite the input")
        seen[target] = name
        jobs.append(Job([name], str(target)))
    return jobs


def _check_stdout(jobs: Sequence[Job]) -> None:
    if any(job.output == STDIO for job in jobs) and _isatty(sys.stdout):
        raise CommandError("refusing to write media to a terminal; "
                           "redirect standard output or name an output file")


def _diagnostics(quiet: bool, sink: io.StringIO) -> _core.Diagnostics:
    return False if quiet else sink


# ---- subcommands ---------------------------------------------------------------------------

def _cmd_convert(args: argparse.Namespace) -> int:
    jobs = _plan(args, lambda _: ".mp4")
    _check_stdout(jobs)

    def convert(data: List[bytes], sink: io.StringIO) -> bytes:
        if _core.is_mp4(data[0]):
            raise ValueError("an MP4 file, not a transport stream "
                             f"('{PROG} defragment' flattens fragmented MP4)")
        return _core.convert_ts_to_mp4(data[0], diagnostics=_diagnostics(args.quiet, sink))

    return _run_jobs(jobs, convert, args.jobs, args.quiet, len(jobs) > 1)


def _cmd_defragment(args: argparse.Namespace) -> int:
    jobs = _plan(args, lambda _: ".mp4")
    _check_stdout(jobs)
    return _run_jobs(jobs, lambda data, _: _core.defragment_mp4(data[0]), args.jobs,
                     args.quiet, False)


def _cmd_reset(args: argparse.Namespace) -> int:
    jobs = _plan(args, lambda source: source.suffix or ".mp4")
    _check_stdout(jobs)
    return _run_jobs(jobs, lambda data, _: _core.reset_mp4_timestamps(data[0]), args.jobs,
                     args.quiet, False)


_PICTURE_SUFFIX = {"h264": ".h264", "png": ".png", "jpeg": ".jpg"}


def _cmd_thumbnail(args: argparse.Namespace) -> int:
    jobs = _plan(args, lambda _: _PICTURE_SUFFIX[args.format])
    _check_stdout(jobs)
    return _run_jobs(jobs, lambda data, sink: _files.thumbnail(
        data[0], args.format, diagnostics=_diagnostics(args.quiet, sink)), args.jobs,
        args.quiet, len(jobs) > 1)


def _cmd_mux(args: argparse.Namespace) -> int:
    if args.video == STDIO and args.audio == STDIO:
        raise CommandError("standard input can be read only once")
    jobs = [Job([args.video, args.audio], args.output)]
    _check_stdout(jobs)
    return _run_jobs(jobs, lambda data, _: _core.mux_fmp4_tracks(data[0], data[1]), 1,
                     args.quiet, False)


def _track_details(track: _core.TrackInfo) -> str:
    if track.get("kind") == "video" and "width" in track:
        return f"{track['width']}x{track.get('height', 0)}"
    if track.get("kind") == "audio" and "sample_rate" in track:
        return f"{track['sample_rate']} Hz, {track.get('channels', 0)} ch"
    return ""


def format_probe(name: str, info: _core.ProbeResult) -> str:
    """The table that ``plexo probe`` prints for one file."""
    rows = [("id", "kind", "codec", "timescale", "duration", "samples", "key frames", "")]
    for track in info["tracks"]:
        rows.append((str(track.get("id", "")), track.get("kind", ""), track.get("codec", ""),
                     str(track.get("timescale", "")), f"{track.get('duration', 0.0):.3f} s",
                     str(track.get("samples", "")), str(track.get("key_frames", "")),
                     _track_details(track)))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = [f"{name}: {info['format']}, {info['duration']:.3f} s, "
             f"{len(info['tracks'])} track{'s' if len(info['tracks']) != 1 else ''}"]
    for row in rows:
        cells = [cell.ljust(width) if i in (1, 2, 7) else cell.rjust(width)
                 for i, (cell, width) in enumerate(zip(row, widths))]
        lines.append("  " + "  ".join(cells).rstrip())
    return "\n".join(lines)


def _cmd_probe(args: argparse.Namespace) -> int:
    if args.files.count(STDIO) > 1:
        raise CommandError("standard input can be read only once")
    results = []
    status = 0
    for name in args.files:
        try:
            info = _core.probe(_read_input(name))
        except ValueError as exc:
            print(f"{PROG}: {name}: {exc}", file=sys.stderr)
            status = 1
            continue
        except CommandError as exc:
            print(f"{PROG}: {exc}", file=sys.stderr)
            status = 1
            continue
        results.append((name, info))
    if args.json:
        if len(args.files) == 1:
            document: object = results[0][1] if results else None
        else:
            document = [{"file": name, **info} for name, info in results]
        if document is not None:
            json.dump(document, sys.stdout, indent=2)
            sys.stdout.write("\n")
    else:
        print("\n\n".join(format_probe(name, info) for name, info in results))
    return status


def _cmd_demo(args: argparse.Namespace) -> int:
    from ._demo import demo
    return demo(args.out)


# ---- parser --------------------------------------------------------------------------------

def _add_batch_arguments(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help=f"INPUT OUTPUT, or with -o one or more inputs; '-' is {what}")
    parser.add_argument("-o", "--output-dir", metavar="DIR",
                        help="write one output per input into DIR, named after the input")
    parser.add_argument("-j", "--jobs", type=_positive, default=1, metavar="N",
                        help="inputs processed at once on a thread pool (default 1)")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="drop the diagnostic lines instead of writing them to standard error")


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


_STDIO_HELP = "standard input (as INPUT) or standard output (as OUTPUT)"


def build_parser() -> argparse.ArgumentParser:
    formatter = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=formatter,
        description="Repackage video: MPEG-TS to MP4, fragmented to progressive MP4, track "
                    "muxing, timestamp reset, key-frame thumbnails, file inspection.",
        epilog="example:\n  plexo convert in.ts out.mp4\n\n"
               f"'{PROG} COMMAND --help' shows each command's options and an example.")
    parser.add_argument("--version", action="version",
                        version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, summary: str, example: str) -> argparse.ArgumentParser:
        return sub.add_parser(name, help=summary, description=summary + ".",
                              epilog="examples:\n" + example, formatter_class=formatter)

    convert = command(
        "convert", "convert MPEG transport streams (H.264 + AAC) to MP4",
        "  plexo convert in.ts out.mp4\n"
        "  plexo convert - - < in.ts > out.mp4\n"
        "  plexo convert --jobs 2 -o outdir recordings/*.ts\n")
    _add_batch_arguments(convert, _STDIO_HELP)
    convert.set_defaults(run=_cmd_convert)

    defragment = command(
        "defragment", "turn fragmented MP4 files into progressive MP4",
        "  plexo defragment stream.mp4 flat.mp4\n"
        "  plexo defragment -j 2 -o flat/ segments/*.mp4\n")
    _add_batch_arguments(defragment, _STDIO_HELP)
    defragment.set_defaults(run=_cmd_defragment)

    reset = command(
        "reset", "make every track of fragmented MP4 files start at decode time zero",
        "  plexo reset joined_late.mp4 from_zero.mp4\n"
        "  plexo reset -o rebased/ live/*.mp4\n")
    _add_batch_arguments(reset, _STDIO_HELP)
    reset.set_defaults(run=_cmd_reset)

    thumbnail = command(
        "thumbnail", "write the first key frame of transport streams or MP4 files",
        "  plexo thumbnail in.ts thumb.h264\n"
        "  plexo thumbnail --format png in.ts thumb.png\n"
        "  plexo thumbnail --format jpeg -j 2 -o thumbs/ videos/*.mp4\n\n"
        'png and jpeg need PyAV: pip install "plexo[image]"\n')
    _add_batch_arguments(thumbnail, _STDIO_HELP)
    thumbnail.add_argument("-f", "--format", choices=("h264", "png", "jpeg"), default="h264",
                           help="Annex B H.264 as coded (default), or a decoded picture")
    thumbnail.set_defaults(run=_cmd_thumbnail)

    mux = command(
        "mux", "join a video fMP4 and an audio fMP4 into one MP4",
        "  plexo mux video.mp4 audio.mp4 joined.mp4\n")
    mux.add_argument("video", metavar="VIDEO", help="fragmented MP4 with the video track")
    mux.add_argument("audio", metavar="AUDIO", help="fragmented MP4 with the audio track")
    mux.add_argument("output", metavar="OUTPUT", help="the MP4 to write; '-' is standard output")
    mux.add_argument("-q", "--quiet", action="store_true", help="accepted for symmetry")
    mux.set_defaults(run=_cmd_mux)

    probe = command(
        "probe", "show what files hold: tracks, codecs, durations, key frames",
        "  plexo probe out.mp4\n"
        "  plexo probe --json in.ts out.mp4\n")
    probe.add_argument("files", nargs="+", metavar="FILE", help="MP4 or transport stream; '-' is "
                       "standard input")
    probe.add_argument("--json", action="store_true",
                       help="print JSON (an object for one file, a list for several)")
    probe.set_defaults(run=_cmd_probe)

    from . import _hls
    _hls.add_command(command(
        "hls", "package a transport stream as HLS: fMP4 segments and a playlist",
        "  plexo hls in.ts out/\n  plexo hls --segment-duration 4 - live/ < feed.ts\n"))

    demo = command("demo", "convert the sample transport stream that ships with plexo",
                   "  plexo demo\n  plexo demo --out results/\n")
    demo.add_argument("--out", type=pathlib.Path, metavar="DIR",
                      help="folder to write the converted sample and its thumbnail to")
    demo.set_defaults(run=_cmd_demo)
    return parser


def _version() -> str:
    from . import __version__
    return __version__


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status: int = args.run(args)
        return status
    except CommandError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away; keep the interpreter from complaining at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
