"""``plexo hls``: a transport stream packaged as an HLS rendition of fragmented MP4 segments.

The stream is read in pieces and cut by :class:`plexo.TsSegmenter`, so memory stays near one
segment whatever its length. The folder receives ``init.mp4``, ``seg_00000.m4s``, ... and
``index.m3u8`` (version 7, ``#EXT-X-MAP``, one ``#EXTINF`` per segment). Every file is written
under a temporary name and renamed into place, so a reader never sees one half written. From
standard input (``-``, a live feed) each segment is written as soon as it is complete and the
playlist rewritten after it, as an ``EVENT`` playlist until the stream ends; a file gives a
``VOD`` playlist once it has been read. Either way the playlist ends with ``#EXT-X-ENDLIST``.

One run owns its folder: the folder is locked (an exclusive ``flock`` on the folder itself,
released when the run ends, however it ends), so a second run into it is refused at once
rather than mixing its segments with the first's. A folder that already holds a rendition
(``index.m3u8``, ``init.mp4`` or ``seg_*.m4s``) is refused unless ``-y`` is given; with
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
from typing import BinaryIO, Iterator, List, Tuple

from ._core import TsSegmenter, probe
from ._inputs import open_regular
from ._output import atomic_output

READ_SIZE = 188 * 1024
INIT_NAME = "init.mp4"
PLAYLIST_NAME = "index.m3u8"


# The files a rendition consists of.
_RENDITION_FILE = re.compile(r"index\.m3u8|init\.mp4|seg_\d+\.m4s")


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


def playlist(segments: List[Tuple[str, float]], requested: float, *, live: bool, ended: bool) -> str:
    """The media playlist of the segments written so far ((name, seconds) each)."""
    longest = max((seconds for _, seconds in segments), default=requested)
    # Each segment's duration, rounded to the nearest second, must not exceed the target.
    target = max(1, math.ceil(requested), math.floor(longest + 0.5))
    lines = ["#EXTM3U", "#EXT-X-VERSION:7", f"#EXT-X-TARGETDURATION:{target}",
             "#EXT-X-MEDIA-SEQUENCE:0", f"#EXT-X-PLAYLIST-TYPE:{'EVENT' if live else 'VOD'}",
             "#EXT-X-INDEPENDENT-SEGMENTS", f'#EXT-X-MAP:URI="{INIT_NAME}"']
    for name, seconds in segments:
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
            overwrite: bool = False) -> int:
    """Writes the rendition of the stream read from `source` into `folder`; returns the number
    of segments. Raises ValueError for a stream that cannot be converted, OSError for I/O,
    FolderRefused for a folder in use or holding a rendition (unless `overwrite`)."""
    with owned_folder(folder, overwrite):
        return _package(source, folder, segment_duration, live=live)


def _package(source: BinaryIO, folder: pathlib.Path, segment_duration: float, *,
             live: bool) -> int:
    segmenter = TsSegmenter(segment_duration)
    segments: List[Tuple[str, float]] = []
    init = b""

    def take(fragments: List[bytes]) -> None:
        nonlocal init
        for fragment in fragments:
            if not init:
                init = segmenter.init or b""
                _write(folder / INIT_NAME, init)
            # The leading track's duration in this fragment: the segment's length.
            seconds = probe(init + fragment)["tracks"][0]["duration"]
            name = segment_name(len(segments))
            _write(folder / name, fragment)
            segments.append((name, seconds))
            if live:
                _write(folder / PLAYLIST_NAME, playlist(segments, segment_duration, live=True, ended=False).encode())

    read = getattr(source, "read1", source.read)
    while True:
        chunk = read(READ_SIZE)
        if not chunk:
            break
        take(segmenter.push(chunk))
    take(segmenter.flush())
    _write(folder / PLAYLIST_NAME, playlist(segments, segment_duration, live=live, ended=True).encode())
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
    parser.add_argument("-y", "--overwrite", action="store_true",
                        help="replace the rendition OUTDIR holds (refused otherwise)")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    live = args.input == "-"
    try:
        if live:
            count = package(sys.stdin.buffer, args.outdir, args.segment_duration, live=True,
                            overwrite=args.overwrite)
        else:
            with open_regular(args.input) as source:
                count = package(source, args.outdir, args.segment_duration, live=False,
                                overwrite=args.overwrite)
    except FolderRefused as exc:
        print(f"plexo: {exc}", file=sys.stderr)
        return 1
    except OSError as exc:
        print(f"plexo: {exc.filename or args.input}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    except ValueError as exc:
        print(f"plexo: {args.input}: {exc}", file=sys.stderr)
        return 1
    print(f"{args.outdir / PLAYLIST_NAME}: {count} segments", file=sys.stderr)
    return 0
