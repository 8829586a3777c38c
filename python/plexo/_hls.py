"""``plexo hls``: a transport stream packaged as an HLS rendition of fragmented MP4 segments.

The stream is read in pieces and cut by :class:`plexo.TsSegmenter`, so memory stays near one
segment whatever its length. The folder receives ``init.mp4``, ``seg_00000.m4s``, ... and
``index.m3u8`` (version 7, ``#EXT-X-MAP``, one ``#EXTINF`` per segment). Every file is written
under a temporary name and renamed into place, so a reader never sees one half written. From
standard input (``-``, a live feed) each segment is written as soon as it is complete and the
playlist rewritten after it, as an ``EVENT`` playlist until the stream ends; a file gives a
``VOD`` playlist once it has been read. Either way the playlist ends with ``#EXT-X-ENDLIST``.

A stream whose video parameter sets change (a new picture size, an encoder restart) gets a new
initialisation segment where the change happens (``init_1.mp4``, ...): its segment is preceded
by ``#EXT-X-DISCONTINUITY`` and an ``#EXT-X-MAP`` naming it, as a live packager cannot know
the later sample entries when it writes the first initialisation segment.

No segment lasts longer than ``--max-segment-duration`` (three times ``--segment-duration``
unless given): where no key frame comes in time, the segment ends at the limit. A live
playlist's ``#EXT-X-TARGETDURATION`` is that limit, rounded up, from its first write to its
last, as HLS asks of a playlist that never changes its target. ``#EXT-X-INDEPENDENT-SEGMENTS``
is written while every segment begins with a picture that needs none before it (an IDR
picture, or an HEVC random-access picture no skipped leading picture follows); once one does
not (an open GOP, a recovery point, a segment ended at the limit), the playlist drops it.

One run owns its folder: the folder is locked (an exclusive ``flock`` on the folder itself,
released when the run ends, however it ends), so a second run into it is refused at once
rather than mixing its segments with the first's. A folder that already holds a rendition
(``index.m3u8``, ``init.mp4``, ``init_*.mp4`` or ``seg_*.m4s``) is refused unless ``-y`` is given; with
``-y`` its playlist, initialisation segment and segments are removed before the first new
one is written, so no stale segment survives.
"""
from __future__ import annotations

import argparse
import contextlib
import errno
import fcntl
import math
import os
import pathlib
import re
import sys
from typing import BinaryIO, Callable, Dict, Iterator, List, Optional, Tuple

from ._core import TsSegmenter, probe
from ._inputs import open_regular
from ._output import atomic_output

READ_SIZE = 188 * 1024
INIT_NAME = "init.mp4"
PLAYLIST_NAME = "index.m3u8"


# The files a rendition consists of.
_RENDITION_FILE = re.compile(r"index\.m3u8|init(_\d+)?\.mp4|seg_\d+\.m4s")


class FolderRefused(Exception):
    """The output folder is in use by another run, or holds a rendition and -y was not given."""


@contextlib.contextmanager
def owned_folder(folder: pathlib.Path, overwrite: bool) -> Iterator[None]:
    """Creates ``folder`` if needed and holds an exclusive lock on it while the block runs.
    Refuses a folder another run holds, and one that holds a rendition unless ``overwrite``,
    in which case that rendition's files are removed (the playlist first)."""
    folder.mkdir(parents=True, exist_ok=True)
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as exc:
            if exc.errno not in (errno.EWOULDBLOCK, errno.EAGAIN):
                raise
            raise FolderRefused(f"{folder}: in use by another 'plexo hls' run; give each run "
                                "a folder of its own") from None
        found = sorted(name for name in os.listdir(folder) if _RENDITION_FILE.fullmatch(name))
        if found and not overwrite:
            segments = sum(name.startswith("seg_") for name in found)
            raise FolderRefused(f"{folder} holds a rendition already ({', '.join(found[:2])}"
                                f"{', ...' if len(found) > 2 else ''}; {segments} segments); "
                                "pass -y/--overwrite to replace it")
        for name in sorted(found, key=lambda name: name != PLAYLIST_NAME):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(folder / name)
        yield
    finally:
        os.close(fd)  # releases the lock


def segment_name(index: int) -> str:
    return f"seg_{index:05d}.m4s"


def init_name(change: int) -> str:
    """The initialisation segment written at the `change`-th change of parameter sets (from 1)."""
    return f"init_{change}.mp4"


def playlist(segments: List[Tuple[str, float]], requested: float, *, live: bool, ended: bool,
             maps: Optional[Dict[int, str]] = None, limit: float = 0.0, independent: bool = True) -> str:
    """The media playlist of the segments written so far ((name, seconds) each); `maps` names
    the initialisation segment that begins before a segment (by its index) after the first. A
    live playlist's target is `limit` (the longest a segment may be) rounded up, fixed from the
    start."""
    longest = max((seconds for _, seconds in segments), default=requested)
    # Each segment's duration, rounded to the nearest second, must not exceed the target.
    target = max(1, math.ceil(requested), math.floor(longest + 0.5))
    if live:
        target = max(1, math.ceil(limit))
    lines = ["#EXTM3U", "#EXT-X-VERSION:7", f"#EXT-X-TARGETDURATION:{target}",
             "#EXT-X-MEDIA-SEQUENCE:0", f"#EXT-X-PLAYLIST-TYPE:{'EVENT' if live else 'VOD'}"]
    if independent:
        lines.append("#EXT-X-INDEPENDENT-SEGMENTS")
    lines.append(f'#EXT-X-MAP:URI="{INIT_NAME}"')
    for index, (name, seconds) in enumerate(segments):
        if maps and index in maps:
            lines += ["#EXT-X-DISCONTINUITY", f'#EXT-X-MAP:URI="{maps[index]}"']
        lines += [f"#EXTINF:{seconds:.6f},", name]
    if ended:
        lines.append("#EXT-X-ENDLIST")
    return "\n".join(lines) + "\n"


def _write(path: pathlib.Path, data: bytes) -> None:
    try:
        with atomic_output(path) as handle:
            handle.write(data)
    except OSError as exc:
        if exc.filename is not None:
            raise
        raise type(exc)(exc.errno, exc.strerror, str(path)) from None  # name what failed


def package(source: BinaryIO, folder: pathlib.Path, segment_duration: float, *, live: bool,
            report: Optional[Callable[[str, float], None]] = None, max_segment_duration: float = 0.0,
            overwrite: bool = False) -> int:
    """Writes the rendition of the stream read from `source` into `folder`; returns the number
    of segments. No segment lasts longer than `max_segment_duration` (three times
    `segment_duration` when 0). Raises ValueError for a stream that cannot be converted,
    OSError for I/O, FolderRefused for a folder in use or holding a rendition (unless
    `overwrite`)."""
    with owned_folder(folder, overwrite):
        return _package(source, folder, segment_duration, live=live, report=report,
                        max_segment_duration=max_segment_duration)


def _package(source: BinaryIO, folder: pathlib.Path, segment_duration: float, *, live: bool,
             report: Optional[Callable[[str, float], None]], max_segment_duration: float) -> int:
    limit = max_segment_duration or 3 * segment_duration
    segmenter = TsSegmenter(segment_duration, limit)
    segments: List[Tuple[str, float]] = []
    maps: Dict[int, str] = {}  # the initialisation segments after the first, by segment
    init = b""

    def take(fragments: List[bytes]) -> None:
        nonlocal init
        changes = segmenter.init_changes(len(maps)) if fragments else []
        for fragment in fragments:
            if not init:
                init = segmenter.init or b""
                _write(folder / INIT_NAME, init)
            while changes and changes[0][0] == len(segments):
                init = changes.pop(0)[1]
                maps[len(segments)] = init_name(len(maps) + 1)
                _write(folder / maps[len(segments)], init)
            # The leading track's duration in this fragment: the segment's length.
            seconds = probe(init + fragment)["tracks"][0]["duration"]
            name = segment_name(len(segments))
            _write(folder / name, fragment)
            segments.append((name, seconds))
            if report is not None:
                report(name, seconds)
            if live:
                _write(folder / PLAYLIST_NAME, playlist(segments, segment_duration, live=True, ended=False, maps=maps,
                                                        limit=limit, independent=segmenter.independent).encode())

    read = getattr(source, "read1", source.read)
    while True:
        chunk = read(READ_SIZE)
        if not chunk:
            break
        take(segmenter.push(chunk))
    take(segmenter.flush())
    _write(folder / PLAYLIST_NAME, playlist(segments, segment_duration, live=live, ended=True, maps=maps,
                                            limit=limit, independent=segmenter.independent).encode())
    return len(segments)


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value <= 1e6:
        raise argparse.ArgumentTypeError("must be a positive number of seconds")
    return value


def add_command(parser: argparse.ArgumentParser) -> None:
    """The arguments of ``plexo hls`` on its subparser."""
    parser.add_argument("input", metavar="IN", help="transport stream; '-' reads a live feed from standard input")
    parser.add_argument("outdir", metavar="OUTDIR", type=pathlib.Path, help="folder for the playlist and segments")
    parser.add_argument("--segment-duration", type=_seconds, default=2.0, metavar="S",
                        help="cut a segment at the first key frame after every S seconds (default 2)")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="name each segment on standard error as it is written")
    parser.add_argument("-q", "--quiet", action="store_true",
                        help="no closing line naming the playlist")
    parser.add_argument("--max-segment-duration", type=_seconds, default=None, metavar="S",
                        help="end a segment after S seconds when no key frame came (default three times "
                             "--segment-duration); a live playlist's target duration")
    parser.add_argument("-y", "--overwrite", action="store_true",
                        help="replace the rendition OUTDIR holds (refused otherwise)")
    parser.set_defaults(run=run)


def _report_segment(name: str, seconds: float) -> None:
    print(f"{name}: {seconds:.3f} s", file=sys.stderr, flush=True)


def run(args: argparse.Namespace) -> int:
    live = args.input == "-"
    report = _report_segment if args.verbose else None
    limit = args.max_segment_duration or 3 * args.segment_duration
    if limit < args.segment_duration:
        print("plexo: --max-segment-duration must not be shorter than --segment-duration", file=sys.stderr)
        return 2
    try:
        if live:
            count = package(sys.stdin.buffer, args.outdir, args.segment_duration, live=True,
                            report=report, max_segment_duration=limit, overwrite=args.overwrite)
        else:
            with open_regular(args.input) as source:
                count = package(source, args.outdir, args.segment_duration, live=False,
                                report=report, max_segment_duration=limit, overwrite=args.overwrite)
    except FolderRefused as exc:
        print(f"plexo: {exc}", file=sys.stderr)
        return 1
    except OSError as exc:
        print(f"plexo: {exc.filename or args.input}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    except ValueError as exc:
        print(f"plexo: {args.input}: {exc}", file=sys.stderr)
        return 1
    if not args.quiet:
        print(f"{args.outdir / PLAYLIST_NAME}: {count} segments", file=sys.stderr)
    return 0
