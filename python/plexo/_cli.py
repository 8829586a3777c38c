"""The ``plexo`` command line (also ``python -m plexo``)."""
from __future__ import annotations

import argparse
import concurrent.futures
import io
import itertools
import json
import os
import pathlib
import signal
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Sequence, TextIO, Union

import _plexo

from . import _core, _files
from ._image import ImageSupportMissing
from ._inputs import open_regular
from ._output import atomic_output, same_file
from ._playlist import is_playlist, read_playlist

PROG = "plexo"
STDIO = "-"
# What a directory given as input stands for: for convert its transport streams and
# playlists, for the other commands its media files.
MEDIA_SUFFIXES = (".ts", ".m2ts", ".mp4", ".m4s")
_DIRECTORY_SUFFIXES = {"convert": (".ts", ".m2ts", ".mts", ".m3u8")}
# Output names of formats plexo does not write where it writes MP4.
_NOT_MP4 = (".mkv", ".webm", ".ts", ".m2ts", ".mts", ".avi", ".flv", ".mpg", ".mpeg", ".wmv",
            ".ogg", ".ogv", ".m3u8", ".mpd", ".mp3", ".aac", ".wav", ".png", ".jpg", ".jpeg",
            ".gif", ".h264", ".hevc")
# Picture formats a thumbnail is not written in.
_NOT_THUMBNAIL = (".gif", ".webp", ".bmp", ".tif", ".tiff", ".avif", ".heic", ".heif")


class CommandError(Exception):
    """A one-line failure of one input (or of the command), shown as ``plexo: message``."""


class UsageError(CommandError):
    """A command line that cannot be run as given (exit status 2)."""


class Skipped(CommandError):
    """The output exists and -n/--skip-existing keeps it."""


class Cancelled(Exception):
    """The batch was interrupted before this input's output was written."""


def one_line(text: str) -> str:
    """``text`` with line breaks and other control characters escaped, so that a file name
    holding them cannot break a one-line message."""
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() else repr(ch)[1:-1] for ch in text)


# ---- reading and writing ------------------------------------------------------------------

# Standard input is read a window at a time; the first must show media. Up to STDIN_IN_MEMORY
# bytes it is held in memory; a longer one goes to a temporary file, for the commands that
# work from file to file.
STDIN_WINDOW = 1 << 20
STDIN_IN_MEMORY = 64 << 20


def _stdin_windows() -> Iterator[bytes]:
    """Standard input in windows of up to STDIN_WINDOW bytes. The first is refused unless it
    begins as media: it holds an MPEG-TS sync byte or opens with an MP4 box (an empty input
    is left to the operation, whose message names what is missing)."""
    stdin = sys.stdin.buffer if sys.stdin is not None else None
    if stdin is None:
        raise CommandError("standard input is closed")
    first = True
    while True:
        window = stdin.read(STDIN_WINDOW)
        if first and window and b"\x47" not in window and not _core.is_mp4(window):
            raise CommandError(f"{STDIO}: not media: no MPEG-TS sync byte and no MP4 box in its "
                               f"first {len(window)} bytes")
        first = False
        if not window:
            return
        yield window


# --allow-outside: playlists may name files outside their folder (set from the arguments).
_allow_outside = False


def _read_input(name: str) -> bytes:
    if name == STDIO:
        return b"".join(_stdin_windows())
    try:
        if is_playlist(name):
            return read_playlist(name, allow_outside=_allow_outside)
        return _files._read(name)
    except ValueError as exc:  # names the file (a playlist's error its line as well)
        raise CommandError(str(exc)) from None
    except OSError as exc:
        raise CommandError(f"{name}: {exc.strerror or exc}") from None


def _stdout() -> TextIO:
    """Standard output, or a CommandError when file descriptor 1 was closed before the program
    started (Python then has no ``sys.stdout``)."""
    if sys.stdout is None:
        raise CommandError("standard output is closed")
    return sys.stdout


def _write_stdout(data: bytes) -> None:
    stdout = _stdout()
    try:
        # A write may take only part of the bytes (a pipe whose reader leaves mid-write):
        # write the rest until every byte is taken or the pipe is found closed.
        view = memoryview(data)
        while view:
            view = view[stdout.buffer.write(view) or 0:]
        stdout.buffer.flush()
    except BrokenPipeError:
        # Keep the interpreter from complaining again when it flushes at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        raise CommandError("standard output: the reader closed the pipe before the output "
                           "was written") from None
    except OSError as exc:
        raise CommandError(f"standard output: {exc.strerror or exc}") from None


def _write_output(name: str, data: bytes, inputs: Sequence[str], overwrite: bool,
                  cancelled: Optional[threading.Event] = None) -> None:
    if cancelled is not None and cancelled.is_set():
        raise Cancelled()
    if name == STDIO:
        _write_stdout(data)
        return
    try:
        with atomic_output(name, overwrite=overwrite,
                           inputs=[i for i in inputs if i != STDIO]) as stream:
            stream.write(data)
            if cancelled is not None and cancelled.is_set():
                raise Cancelled()
    except FileExistsError:
        raise CommandError(f"{name} exists; pass -y/--overwrite to replace it") from None
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    except OSError as exc:
        raise CommandError(f"{name}: {exc.strerror or exc}") from None


# ---- progress and messages on standard error ------------------------------------------------

def _size(count: float) -> str:
    for unit in ("B", "KB", "MB", "GB"):
        if count < 1000 or unit == "GB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1000
    return ""  # not reached


class Reporter:
    """Writes diagnostic lines and errors to standard error, one whole line at a time, and
    keeps a progress bar under them while a batch runs on a terminal: inputs and bytes done,
    the rate and the time left over all inputs."""

    def __init__(self, stream: TextIO, total: int, quiet: bool, total_bytes: int = 0) -> None:
        self._stream = stream
        self._total = total
        self._done = 0
        self._total_bytes = total_bytes
        self._done_bytes = 0
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
        text = f"\r[{'#' * filled}{'.' * (width - filled)}] {self._done}/{self._total}"
        if self._total_bytes:
            rate = self._done_bytes / elapsed if elapsed > 0 else 0.0
            text += f" {_size(self._done_bytes)} of {_size(self._total_bytes)}"
            if rate > 0:
                left = max(self._total_bytes - self._done_bytes, 0) / rate
                text += f", {_size(rate)}/s, ETA {left:.0f} s"
        else:
            text += f" {elapsed:.1f} s"
        self._stream.write(text + "\x1b[K")  # the end of a longer line drawn before goes
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
            self._stream.write(f"{PROG}: {one_line(message)}\n")
            self._draw()
            self._stream.flush()

    def advance(self, nbytes: int = 0) -> None:
        with self._lock:
            self._done += 1
            self._done_bytes += nbytes
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
    #: Why the job cannot run (reported as its failure), or that its output is kept.
    refusal: Optional[str] = None
    skip: bool = False
    #: The output's name from the result, where the result decides it.
    named_by: Optional[Callable[[bytes], str]] = None

    def input_bytes(self) -> int:
        total = 0
        for name in self.inputs:
            try:
                total += os.path.getsize(name) if name != STDIO else 0
            except OSError:
                pass
        return total


Operation = Callable[[List[bytes], io.StringIO], bytes]
# The same work from file to file: the inputs' and the output's descriptors and the sink.
FileOperation = Callable[[List[int], int, io.StringIO], int]


def _on_disk(job: Job) -> bool:
    """Whether a job can go from file to file: regular input files (not standard input or a
    playlist) and an output file."""
    return job.output != STDIO and all(
        name != STDIO and not is_playlist(name) and os.path.isfile(name) for name in job.inputs)


def _spoolable(job: Job) -> bool:
    """Whether a job reading standard input can go from file to file once standard input is
    copied to a temporary file: its other inputs are regular files."""
    return STDIO in job.inputs and all(
        name == STDIO or (not is_playlist(name) and os.path.isfile(name)) for name in job.inputs)


def _stdin_head(windows: Iterator[bytes]) -> "tuple[List[bytes], bool]":
    """The first windows of standard input, up to STDIN_IN_MEMORY bytes, and whether it ended
    within them."""
    head: List[bytes] = []
    total = 0
    for window in windows:
        head.append(window)
        total += len(window)
        if total >= STDIN_IN_MEMORY:
            return head, False
    return head, True


def _run_spooled(job: Job, operation: FileOperation, overwrite: bool,
                 cancelled: Optional[threading.Event], head: List[bytes],
                 windows: Iterator[bytes]) -> None:
    """A job whose standard input is longer than STDIN_IN_MEMORY, from file to file: standard
    input is copied window by window to an unnamed temporary file (``head``, what was read of
    it, first), and an output to standard output goes through another."""
    with tempfile.TemporaryFile() as spool:
        try:
            for window in itertools.chain(head, windows):
                spool.write(window)
            spool.flush()
        except OSError as exc:
            raise CommandError(f"{STDIO}: cannot keep standard input in a temporary file: "
                               f"{exc.strerror or exc}") from None
        head.clear()
        inputs: List[Union[str, int]] = [spool.fileno() if name == STDIO else name
                                         for name in job.inputs]
        if job.output != STDIO:
            _run_on_disk(job, operation, overwrite, cancelled, inputs)
            return
        with tempfile.TemporaryFile() as out, _files._opened(inputs) as fds:
            try:
                operation(fds, out.fileno(), job.diagnostics)
            except ValueError as exc:
                raise CommandError(f"{' + '.join(job.inputs)}: {exc}") from None
            except MemoryError:
                raise CommandError(f"{' + '.join(job.inputs)}: out of memory") from None
            except OSError as exc:
                raise CommandError(f"{STDIO}: {exc.strerror or exc}") from None
            if cancelled is not None and cancelled.is_set():
                raise Cancelled()
            out.seek(0)
            while True:
                window = out.read(STDIN_WINDOW)
                if not window:
                    break
                _write_stdout(window)


def _run_on_disk(job: Job, operation: FileOperation, overwrite: bool,
                 cancelled: Optional[threading.Event],
                 inputs: Optional[Sequence[Union[str, int]]] = None) -> None:
    def check() -> None:
        if cancelled is not None and cancelled.is_set():
            raise Cancelled()

    check()
    try:
        _files._file_to_file(lambda *fds: operation(list(fds[:-1]), fds[-1], job.diagnostics),
                             job.inputs if inputs is None else inputs, job.output,
                             overwrite=overwrite, joiner=" + ", before_commit=check,
                             names=job.inputs)
    except FileExistsError:
        raise CommandError(f"{job.output} exists; pass -y/--overwrite to replace it") from None
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    except MemoryError:
        raise CommandError(f"{' + '.join(job.inputs)}: out of memory") from None
    except OSError as exc:
        raise CommandError(f"{exc.filename or job.output}: {exc.strerror or exc}") from None


def _run_job(job: Job, operation: Operation, overwrite: bool,
             cancelled: Optional[threading.Event] = None,
             on_disk: Optional[FileOperation] = None) -> None:
    if on_disk is not None and _on_disk(job):
        _run_on_disk(job, on_disk, overwrite, cancelled)
        return
    stdin = b""
    if STDIO in job.inputs:
        windows = _stdin_windows()
        head, ended = _stdin_head(windows)
        if not ended and on_disk is not None and _spoolable(job):
            _run_spooled(job, on_disk, overwrite, cancelled, head, windows)
            return
        stdin = b"".join(itertools.chain(head, windows))
        del head
    data = [stdin if name == STDIO else _read_input(name) for name in job.inputs]
    del stdin
    try:
        result = operation(data, job.diagnostics)
    except ImageSupportMissing as exc:
        raise CommandError(str(exc)) from None
    except ValueError as exc:
        raise CommandError(f"{' + '.join(job.inputs)}: {exc}") from None
    except MemoryError:
        raise CommandError(f"{' + '.join(job.inputs)}: out of memory") from None
    del data
    if job.named_by is not None:
        job.output = job.named_by(result)
    _write_output(job.output, result, job.inputs, overwrite, cancelled)


def _run_jobs(jobs: List[Job], operation: Operation, args: argparse.Namespace,
              label_lines: bool, on_disk: Optional[FileOperation] = None,
              done: str = "converted") -> int:
    """Runs every job, in threads when asked; ``on_disk``, where given, does a job whose
    input and output are files from file to file in bounded memory. A job refused or
    failing does not stop the others; a batch ends with ``converted N, skipped M, failed K``
    (``done`` names what the command does) on standard error."""
    quiet = not getattr(args, "verbose", False)
    reporter = Reporter(sys.stderr, len(jobs), getattr(args, "quiet", False),
                        sum(job.input_bytes() for job in jobs))
    overwrite = getattr(args, "overwrite", False)
    failures = 0
    skipped = 0

    def finished(job: Job, error: Optional[BaseException]) -> None:
        nonlocal failures, skipped
        prefix = f"{one_line(job.inputs[0])}: " if label_lines else ""
        text = job.diagnostics.getvalue()
        if quiet:  # warnings only
            text = "".join(line for line in text.splitlines(keepends=True) if line.startswith(_WARNING))
        reporter.lines(text, prefix)
        if isinstance(error, Skipped):
            skipped += 1
            if not quiet:
                reporter.lines(f"{one_line(job.output)} exists; kept\n")
        elif error is not None:
            failures += 1
            reporter.error(str(error))
        reporter.advance(job.input_bytes())

    for job in jobs:
        if job.skip or job.refusal is not None:
            finished(job, Skipped() if job.skip else CommandError(job.refusal))
    total = len(jobs)
    jobs = [job for job in jobs if not job.skip and job.refusal is None]
    workers = getattr(args, "jobs", 1)
    if workers <= 1 or len(jobs) <= 1:
        for job in jobs:
            try:
                _run_job(job, operation, overwrite, on_disk=on_disk)
                finished(job, None)
            except CommandError as exc:
                finished(job, exc)
    else:
        _run_pool(jobs, workers, operation, overwrite, on_disk, finished, reporter)
    reporter.finish()
    if (total > 1 or getattr(args, "output_dir", None) is not None or skipped) \
            and not getattr(args, "quiet", False):
        print(f"{done} {total - skipped - failures}, skipped {skipped}, failed {failures}",
              file=sys.stderr)
    return 1 if failures else 0



def _run_pool(jobs: List[Job], workers: int, operation: Operation, overwrite: bool,
              on_disk: Optional[FileOperation],
              finished: Callable[[Job, Optional[BaseException]], None], reporter: Reporter) -> None:
    """Runs the jobs on a pool of ``workers`` threads. Ctrl-C and SIGTERM only set a flag
    here: an exception raised between two bytecodes of the executor's waiting could leave
    one of its locks held and the batch hung. On that flag queued inputs never start,
    running ones finish their work but write nothing, and the interrupt is raised once
    they have stopped."""
    cancelled = threading.Event()
    interrupts: List[int] = []

    def interrupt(signum: int, frame: Any) -> None:
        interrupts.append(signum)
        cancelled.set()

    handlers = {}
    if threading.current_thread() is threading.main_thread():
        handlers = {sig: signal.signal(sig, interrupt) for sig in (signal.SIGINT, signal.SIGTERM)}
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=workers)
    try:
        futures: Dict[concurrent.futures.Future[None], Job] = {}
        for job in jobs:
            if interrupts:
                break
            futures[pool.submit(_run_job, job, operation, overwrite, cancelled, on_disk)] = job
        pending = set(futures)
        while pending and not interrupts:
            done, pending = concurrent.futures.wait(
                pending, timeout=0.1, return_when=concurrent.futures.FIRST_COMPLETED)
            for future in sorted(done, key=list(futures).index):
                error = future.exception()
                if isinstance(error, Cancelled):  # the interrupt came while it ran
                    continue
                if error is not None and not isinstance(error, CommandError):
                    raise error
                finished(futures[future], error)
        if not interrupts:
            return
        pool.shutdown(wait=False, cancel_futures=True)
        left = len(jobs) - len(futures) + sum(
            1 for future in futures if not future.done() or future.cancelled())
        reporter.finish()
        reporter.error(f"interrupted; {left} of {len(jobs)} inputs not written")
        if handlers:
            signal.signal(signal.SIGINT, signal.SIG_DFL)  # a second Ctrl-C ends at once
        # Futures cancelled by the shutdown never wake a waiter: wait for the running ones.
        concurrent.futures.wait([future for future in futures if not future.done()])
        if interrupts[0] == signal.SIGINT:
            raise KeyboardInterrupt
        raise SystemExit(128 + interrupts[0])
    finally:
        pool.shutdown(wait=not interrupts)
        for sig, handler in handlers.items():
            if signal.getsignal(sig) is interrupt:
                signal.signal(sig, handler)

def _media_files(directory: str, suffixes: Sequence[str] = MEDIA_SUFFIXES) -> List[str]:
    found = sorted(entry.path for entry in os.scandir(directory)
                   if entry.is_file() and entry.name.lower().endswith(tuple(suffixes)))
    if not found:
        raise UsageError(f"{directory}: a directory without {', '.join(suffixes[:-1])} or "
                         f"{suffixes[-1]} files")
    return found


def _expand(paths: Sequence[str], command: str = "") -> List[str]:
    """Inputs as given, a directory replaced by the files it holds for ``command`` (not
    recursing)."""
    expanded: List[str] = []
    for name in paths:
        if name != STDIO and os.path.isdir(name):
            expanded.extend(_media_files(name, _DIRECTORY_SUFFIXES.get(command, MEDIA_SUFFIXES)))
        else:
            expanded.append(name)
    return expanded


def _check_target(source: str, target: str, overwrite: bool) -> None:
    if source != STDIO and target != STDIO and same_file(source, target):
        raise CommandError(f"{source}: the output would overwrite the input")
    if target != STDIO and os.path.isdir(target) and not os.path.islink(target):
        raise CommandError(f"{target} is a directory; name the output file, or give "
                           f"-o {target} to write into it")
    if target != STDIO and not overwrite and os.path.lexists(target):
        raise CommandError(f"{target} exists; pass -y/--overwrite to replace it")


def _job(source: str, target: str, args: argparse.Namespace) -> Job:
    """The job writing ``target`` from ``source``: refused when the output may not be written,
    skipped when it exists and -n/--skip-existing keeps it."""
    job = Job([source], target)
    try:
        _check_target(source, target, args.overwrite)
    except CommandError as exc:
        if getattr(args, "skip_existing", False) and os.path.lexists(target) \
                and not os.path.isdir(target) \
                and not same_file(source, target):
            job.skip = True
        else:
            job.refusal = str(exc)
            if str(exc).endswith("-y/--overwrite to replace it") and args.output_dir:
                job.refusal += " or -n/--skip-existing to keep it"
    return job


def _plan(args: argparse.Namespace, suffix: Callable[[pathlib.Path], str]) -> List[Job]:
    """Pairs inputs with outputs: ``IN OUT``, or ``-o DIR IN...`` (outputs named after the
    inputs; a directory among the inputs stands for its media files)."""
    paths: List[str] = args.files
    if getattr(args, "skip_existing", False) and args.overwrite:
        raise UsageError("-y/--overwrite and -n/--skip-existing exclude each other")
    if args.output_dir is None:
        if len(paths) != 2:
            raise UsageError("give INPUT OUTPUT, or -o DIR with one or more inputs "
                             f"(see '{PROG} {args.command} --help')")
        if os.path.isdir(paths[0]):
            raise UsageError(f"{paths[0]} is a directory; give -o DIR to convert the files in it")
        return [_job(paths[0], paths[1], args)]
    paths = _expand(paths, args.command)
    if not paths:
        raise UsageError("no input files")
    if paths.count(STDIO) > 1:
        raise UsageError("standard input can be read only once")
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
        seen[target] = name
        jobs.append(_job(name, str(target), args))
    return jobs


def _check_mp4_names(jobs: Sequence[Job]) -> None:
    """Refuses outputs named for a format other than MP4 (what the command writes); a job
    already refused (its output is its input) keeps that refusal."""
    for job in jobs:
        suffix = os.path.splitext(job.output)[1].lower()
        if job.refusal is None and job.output != STDIO and suffix in _NOT_MP4:
            raise UsageError(f"{job.output}: {PROG} writes MP4, not {suffix}; name the output "
                             ".mp4, .m4v or .mov")


def _check_stdout(jobs: Sequence[Job]) -> None:
    if any(job.output == STDIO for job in jobs) and _isatty(sys.stdout):
        raise CommandError("refusing to write media to a terminal; "
                           "redirect standard output or name an output file")


def _diagnostics(args: argparse.Namespace, sink: io.StringIO) -> _core.Diagnostics:
    return sink if getattr(args, "verbose", False) else False


_WARNING = f"{PROG}: warning: "
_LEFT_OUT_AUDIO = "Left out audio - "


def _relay_diagnostics(args: argparse.Namespace, text: str, sink: io.StringIO,
                       converted: bool) -> None:
    """Every diagnostic line with -v; otherwise the audio streams a conversion left out, as
    one warning (a failure says all in its own line)."""
    if getattr(args, "verbose", False):
        sink.write(text)
        return
    if not converted:
        return
    left_out = [line[len(_LEFT_OUT_AUDIO):] for line in text.splitlines()
                if line.startswith(_LEFT_OUT_AUDIO)]
    if left_out:
        sink.write(f"{_WARNING}left out audio: {'; '.join(left_out)} (-v shows every line)\n")


# ---- subcommands ---------------------------------------------------------------------------

def _cmd_convert(args: argparse.Namespace) -> int:
    jobs = _plan(args, lambda _: ".mp4")
    _check_stdout(jobs)
    _check_mp4_names(jobs)

    audio: _core.AudioChoice = "first" if getattr(args, "audio", "all") == "first" else "all"

    def convert(data: List[bytes], sink: io.StringIO) -> bytes:
        collected = io.StringIO()
        converted = False
        try:
            result = _core._convert_checked(data[0][:_files._HEAD], lambda: _core.convert_ts_to_mp4(
                data[0], diagnostics=collected, audio=audio))
            converted = True
            return result
        finally:
            _relay_diagnostics(args, collected.getvalue(), sink, converted)

    def convert_on_disk(fds: List[int], out: int, sink: io.StringIO) -> int:
        lines: List[str] = []
        converted = False
        try:
            written = _core._convert_checked(
                os.pread(fds[0], _files._HEAD, 0),
                lambda: _plexo._convert_file(fds[0], out, False, lines, all_audio=audio == "all"))
            converted = True
            return written
        finally:
            _relay_diagnostics(args, "".join(lines), sink, converted)

    return _run_jobs(jobs, convert, args, len(jobs) > 1, convert_on_disk)


def _cmd_defragment(args: argparse.Namespace) -> int:
    jobs = _plan(args, lambda _: ".mp4")
    _check_stdout(jobs)
    _check_mp4_names(jobs)
    return _run_jobs(jobs, lambda data, _: _core.defragment_mp4(data[0]), args, False,
                     lambda fds, out, _: _files._mp4_file_operation(_plexo._defragment_file)(
                         fds[0], out), done="defragmented")


def _cmd_reset(args: argparse.Namespace) -> int:
    jobs = _plan(args, lambda source: source.suffix if source.suffix in (".mp4", ".m4s")
                 else ".mp4")
    _check_stdout(jobs)
    _check_mp4_names(jobs)
    return _run_jobs(jobs, lambda data, _: _core.reset_mp4_timestamps(data[0]), args, False,
                     lambda fds, out, _: _files._mp4_file_operation(_plexo._reset_file)(
                         fds[0], out), done="reset")


_PICTURE_SUFFIX = {"h264": ".h264", "hevc": ".hevc", "png": ".png", "jpeg": ".jpg"}
# The thumbnail's format by the output's extension; coded pictures are written as they are.
_FORMAT_OF_SUFFIX = {".png": "png", ".jpg": "jpeg", ".jpeg": "jpeg", ".h264": "h264",
                     ".264": "h264", ".hevc": "hevc", ".265": "hevc"}


def _coded_name(output: str, args: argparse.Namespace) -> Callable[[bytes], str]:
    """``output`` with the extension of the coded picture's codec (.h264 or .hevc)."""
    from ._image import _decoder_name

    def name(picture: bytes) -> str:
        named = os.path.splitext(output)[0] + "." + _decoder_name(picture)
        if named != output and os.path.lexists(named) and not args.overwrite:
            if args.skip_existing:
                raise Skipped()
            raise CommandError(f"{named} exists; pass -y/--overwrite to replace it or "
                               "-n/--skip-existing to keep it")
        return named
    return name


def _cmd_thumbnail(args: argparse.Namespace) -> int:
    jobs = _plan(args, lambda _: _PICTURE_SUFFIX[args.format or "h264"])
    _check_stdout(jobs)
    for job in jobs:
        suffix = os.path.splitext(job.output)[1].lower()
        if suffix in _NOT_THUMBNAIL:
            raise UsageError(f"{job.output}: thumbnails are written as PNG (.png), JPEG (.jpg, "
                             f".jpeg) or the coded picture (.h264, .hevc), not as {suffix}")

    def thumbnail(job_format: str) -> Operation:
        coded = "h264" if job_format == "hevc" else job_format  # the picture as carried
        if args.width is not None and coded == "h264":
            raise UsageError("--width scales a decoded picture: give --format png or jpeg, or "
                             "an output named .png or .jpg")
        return lambda data, sink: _files.thumbnail(
            data[0], coded, diagnostics=_diagnostics(args, sink),  # type: ignore[arg-type]
            width=args.width)

    def on_disk(job_format: str) -> Optional[FileOperation]:
        """From a file: a transport stream read only as far as its first key frame needs."""
        if any(job.named_by is not None for job in jobs):
            return None  # the output's name waits for the picture
        coded = "h264" if job_format == "hevc" else job_format

        def run(fds: List[int], out: int, sink: io.StringIO) -> int:
            try:
                with os.fdopen(os.dup(fds[0]), "rb") as source:
                    picture = _files._thumbnail_of_file(source, coded,  # type: ignore[arg-type]
                                                        _diagnostics(args, sink), args.width)
            except ImageSupportMissing as exc:
                raise CommandError(str(exc)) from None
            with os.fdopen(os.dup(out), "wb") as target:
                return target.write(picture)
        return run

    if args.format is not None or len(jobs) > 1 or args.output_dir is not None:
        if args.output_dir is not None and args.format in (None, "h264", "hevc"):
            # the coded picture, named for its codec
            for job in jobs:
                if job.output != STDIO:
                    job.named_by = _coded_name(job.output, args)
        job_format = args.format or "h264"
        return _run_jobs(jobs, thumbnail(job_format), args, len(jobs) > 1, on_disk(job_format),
                         done="written")
    job_format = _FORMAT_OF_SUFFIX.get(os.path.splitext(jobs[0].output)[1].lower(), "h264")
    return _run_jobs(jobs, thumbnail(job_format), args, False, on_disk(job_format),
                     done="written")


def _cmd_mux(args: argparse.Namespace) -> int:
    if args.video == STDIO and args.audio == STDIO:
        raise UsageError("standard input can be read only once")
    for source in (args.video, args.audio):
        _check_target(source, args.output, args.overwrite)
    jobs = [Job([args.video, args.audio], args.output)]
    _check_mp4_names(jobs)
    _check_stdout(jobs)
    return _run_jobs(jobs, lambda data, _: _core.mux_fmp4_tracks(data[0], data[1]), args, False,
                     lambda fds, out, _: _files._mp4_file_operation(
                         _plexo._mux_files, _core._MUX_INPUTS)(fds[0], fds[1], out))


def _track_details(track: _core.TrackInfo) -> str:
    if track.get("kind") == "video" and "width" in track:
        return f"{track['width']}x{track.get('height', 0)}"
    language = track.get("language", "und")
    named = f", {language}" if language != "und" else ""
    if track.get("kind") == "audio" and "sample_rate" in track:
        return f"{track['sample_rate']} Hz, {track.get('channels', 0)} ch{named}"
    return named[2:]


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
    files = _expand(args.files, args.command)
    if files.count(STDIO) > 1:
        raise UsageError("standard input can be read only once")
    results = []
    status = 0
    for name in files:
        try:
            if name == STDIO or is_playlist(name):
                info = _core.probe(_read_input(name))
            else:
                try:
                    file = open_regular(name)
                except ValueError as exc:  # not a regular file: its own line names it
                    raise CommandError(str(exc)) from None
                with file:
                    info = _files._probe_open(file)  # an MP4 read by seeking
        except OSError as exc:
            print(f"{PROG}: {one_line(name)}: {one_line(exc.strerror or str(exc))}",
                  file=sys.stderr)
            status = 1
            continue
        except ValueError as exc:
            print(f"{PROG}: {one_line(name)}: {one_line(str(exc))}", file=sys.stderr)
            status = 1
            continue
        except CommandError as exc:
            print(f"{PROG}: {one_line(str(exc))}", file=sys.stderr)
            status = 1
            continue
        results.append((name, info))
    if args.json:  # one shape for one file or many: a list of objects naming their file
        json.dump([{"file": name, **info} for name, info in results], _stdout(), indent=2)
        _stdout().write("\n")
    elif results:
        print("\n\n".join(format_probe(name, info) for name, info in results), file=_stdout())
    if sys.stdout is not None:
        sys.stdout.flush()
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
    parser.add_argument("-n", "--skip-existing", action="store_true",
                        help="keep outputs that exist and go on with the other inputs")
    _add_common_arguments(parser)


def _add_common_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-y", "--overwrite", action="store_true",
                        help="replace outputs that exist (refused otherwise)")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="show the demultiplexer's diagnostic lines on standard error")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="no progress bar and no closing count (diagnostic lines are shown only "
                             "with -v)")
    _add_allow_outside(parser)


def _add_allow_outside(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--allow-outside", action="store_true",
                        help="let an HLS playlist input name files outside its own folder")


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
        "convert", "convert MPEG transport streams (H.264 or HEVC; AAC, MP3, MP2, AC-3 or "
                   "E-AC-3) to MP4",
        "  plexo convert in.ts out.mp4\n"
        "  plexo convert - - < in.ts > out.mp4\n"
        "  plexo convert --jobs 2 -o outdir recordings/*.ts\n")
    _add_batch_arguments(convert, _STDIO_HELP)
    convert.add_argument("--audio", choices=("all", "first"), default="all",
                         help="every audio stream as its own track, in programme order, the "
                              "first enabled and the others its alternatives (all, the "
                              "default), or the first only")
    convert.set_defaults(run=_cmd_convert)

    defragment = command(
        "defragment", "turn fragmented MP4 files into progressive MP4",
        "  plexo defragment stream.mp4 flat.mp4\n"
        "  plexo defragment -j 2 -o flat/ segments/*.mp4\n")
    _add_batch_arguments(defragment, _STDIO_HELP)
    defragment.set_defaults(run=_cmd_defragment)

    reset = command(
        "reset", "make every track of MP4 files (fragmented or progressive) start at zero",
        "  plexo reset joined_late.mp4 from_zero.mp4\n"
        "  plexo reset -o rebased/ live/*.mp4\n")
    _add_batch_arguments(reset, _STDIO_HELP)
    reset.set_defaults(run=_cmd_reset)

    thumbnail = command(
        "thumbnail", "write the first key frame of transport streams or MP4 files",
        "  plexo thumbnail in.ts thumb.h264\n"
        "  plexo thumbnail --format png in.ts thumb.png\n"
        "  plexo thumbnail --format jpeg -j 2 -o thumbs/ videos/*.mp4\n"
        "  plexo thumbnail --width 160 in.ts small.jpg\n\n"
        'png and jpeg need PyAV, the image extra: pip install ".[image]" in the plexo '
        "checkout\n")
    _add_batch_arguments(thumbnail, _STDIO_HELP)
    thumbnail.add_argument("-f", "--format", choices=("h264", "hevc", "png", "jpeg"),
                           default=None,
                           help="the coded picture as the stream carries it (h264, hevc: "
                                "outputs named .h264, .hevc with -o), or a decoded picture; by "
                                "default from OUTPUT's extension (.png, .jpg/.jpeg, "
                                ".h264/.264, .hevc/.265), else the coded picture, named for "
                                "its codec with -o")
    thumbnail.add_argument("--width", type=_positive, metavar="PIXELS",
                           help="scale a png or jpeg picture to PIXELS across, keeping its "
                                "shape")
    thumbnail.set_defaults(run=_cmd_thumbnail)

    mux = command(
        "mux", "join a video MP4 and an audio MP4 (fragmented or progressive) into one MP4",
        "  plexo mux video.mp4 audio.mp4 joined.mp4\n"
        "  plexo mux hls/video/index.m3u8 hls/audio/index.m3u8 joined.mp4\n")
    mux.add_argument("video", metavar="VIDEO",
                     help="MP4, fragmented or progressive (or HLS media playlist), with the video track")
    mux.add_argument("audio", metavar="AUDIO",
                     help="MP4, fragmented or progressive (or HLS media playlist), with the audio track")
    mux.add_argument("output", metavar="OUTPUT", help="the MP4 to write; '-' is standard output")
    _add_common_arguments(mux)
    mux.set_defaults(run=_cmd_mux)

    probe = command(
        "probe", "show what files hold: tracks, codecs, durations, key frames",
        "  plexo probe out.mp4\n"
        "  plexo probe --json in.ts out.mp4\n")
    probe.add_argument("files", nargs="+", metavar="FILE", help="MP4 or transport stream; '-' is "
                       "standard input")
    probe.add_argument("--json", action="store_true",
                       help="print JSON: a list with one object per file, its \"file\" key "
                            "naming it")
    _add_allow_outside(probe)
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


def _terminate(signum: int, frame: Any) -> None:
    raise SystemExit(128 + signum)  # unwinds, so a temporary output is removed


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    global _allow_outside
    _allow_outside = getattr(args, "allow_outside", False)
    previous = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        status: int = args.run(args)
        return status
    except UsageError as exc:
        print(f"{PROG}: {one_line(str(exc))}", file=sys.stderr)
        return 2
    except CommandError as exc:
        print(f"{PROG}: {one_line(str(exc))}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away; keep the interpreter from complaining at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except OSError as exc:  # standard output closed or full while printing
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            print(f"{PROG}: {one_line(exc.strerror or str(exc))}", file=sys.stderr)
        except OSError:
            pass
        return 1
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
