"""Local HLS media playlists read as the one file they describe: the initialisation section
(``#EXT-X-MAP``) followed by every media segment in order, byte ranges honoured, paths taken
relative to the playlist. Transport-stream playlists concatenate their segments.

Refused, each with one line naming the playlist, the line and the file: master playlists (the
message lists their renditions), remote URLs, encrypted segments, missing files, byte ranges
past a file's end, segments that are not media, and fragmented-MP4 segments whose length
disagrees with the playlist's own ``#EXTINF`` (a segment of another rendition).

A playlist reads only what lies in its own folder: every URI (relative, absolute, ``file://``,
percent-encoded) is resolved, symbolic links included, and refused when it ends up outside the
playlist's folder, unless the caller passes ``allow_outside=True`` (``--allow-outside`` on the
command line). Only regular files are read: a device, a FIFO or a socket is refused from its
``stat``, before it is opened. The playlist may be at most MAX_PLAYLIST_BYTES long and the files
it names at most MAX_TOTAL_BYTES together (counted before any is read). Lines are parsed in one
pass, so time grows linearly with the playlist; every failure is a :class:`PlaylistError`
naming the line."""
from __future__ import annotations

import os
import re
import stat
import urllib.parse
from dataclasses import dataclass
from typing import BinaryIO, Dict, List, Optional, Tuple, Union

from . import _core

PathLike = Union[str, "os.PathLike[str]"]

#: The longest playlist read (bytes of its text).
MAX_PLAYLIST_BYTES = 16 << 20
#: The most media a playlist may name, its segments and initialisation section together.
MAX_TOTAL_BYTES = 16 << 30
# A byte range's numbers: at most 19 digits, within a file offset.
_MAX_OFFSET = (1 << 63) - 1

_ATTRIBUTE = re.compile(r'([A-Z0-9-]+)=("[^"]*"|[^,]*)')
_REMOTE = re.compile(r"^(?:[A-Za-z][A-Za-z0-9+.-]*:|//)")


class PlaylistError(ValueError):
    """A playlist that cannot be read as one file; the message is one line naming where."""


def is_playlist(path: PathLike) -> bool:
    """Whether ``path`` names an HLS playlist by its extension (``.m3u8``, ``.m3u``)."""
    return os.fspath(path).lower().endswith((".m3u8", ".m3u"))


def _attributes(text: str) -> Dict[str, str]:
    return {key: value.strip('"') for key, value in _ATTRIBUTE.findall(text)}


@dataclass
class _Piece:
    uri: str
    line: int
    byte_range: Optional[Tuple[int, Optional[int]]]  # length, offset (None: after the last)
    duration: Optional[Tuple[float, bool]] = None  # #EXTINF seconds, written as an integer


class _Reader:
    def __init__(self, path: PathLike, allow_outside: bool) -> None:
        self.path = os.fspath(path)
        self.directory = os.path.dirname(self.path)
        self.allow_outside = allow_outside
        self.root = os.path.realpath(self.directory or ".")
        self.ends: Dict[str, int] = {}  # where the last byte range of each file ended
        self.total = 0  # bytes of every piece located so far

    def fail(self, line: Optional[int], message: str) -> PlaylistError:
        where = self.path if line is None else f"{self.path}, line {line}"
        return PlaylistError(f"{where}: {message}".replace("\n", " ").replace("\0", "\\0"))

    def inside(self, resolved: str) -> bool:
        return os.path.commonpath([self.root, resolved]) == self.root

    def local(self, piece: _Piece) -> Tuple[str, str]:
        """The file a piece's URI names, as named and resolved (symbolic links followed); refused unless it
        lies in the playlist's folder (or the caller allows outside) and is a regular file."""
        uri = piece.uri
        if "\0" in uri:
            raise self.fail(piece.line, "a URI holding a NUL character")
        if uri.lower().startswith("file://"):
            name = urllib.parse.unquote(urllib.parse.urlsplit(uri).path)
        elif _REMOTE.match(uri) and not re.match(r"^[A-Za-z]:[\\/]", uri):
            raise self.fail(piece.line, f"{uri} is a remote URL; plexo reads local files only")
        else:
            name = os.path.join(self.directory, uri)
            if not os.path.lexists(name) and "%" in uri:
                name = os.path.join(self.directory, urllib.parse.unquote(uri))
        if "\0" in name:
            raise self.fail(piece.line, "a URI holding a NUL character")
        resolved = os.path.realpath(name)
        if not self.allow_outside and not self.inside(resolved):
            raise self.fail(piece.line, f"{uri} lies outside the playlist's folder; pass "
                                        "allow_outside=True (--allow-outside) to read it")
        try:
            info = os.stat(resolved)
        except FileNotFoundError:
            raise self.fail(piece.line, f"segment {name} not found") from None
        except OSError as exc:
            raise self.fail(piece.line, f"{name}: {exc.strerror or exc}") from None
        if stat.S_ISDIR(info.st_mode):
            raise self.fail(piece.line, f"segment {name} is a directory")
        if not stat.S_ISREG(info.st_mode):
            raise self.fail(piece.line, f"segment {name} is not a regular file")
        return name, resolved

    def locate(self, piece: _Piece) -> Tuple[str, str, int, int]:
        """The file (as named, resolved), offset and length a piece reads, counted against
        MAX_TOTAL_BYTES."""
        name, resolved = self.local(piece)
        size = os.stat(resolved).st_size
        if piece.byte_range is None:
            offset, length = 0, size
        else:
            length, start = piece.byte_range
            offset = self.ends.get(resolved, 0) if start is None else start
            if offset + length > size:
                raise self.fail(piece.line, f"byte range {length}@{offset} runs past the end "
                                            f"of {name} ({size} bytes)")
            self.ends[resolved] = offset + length
        self.total += length
        if self.total > MAX_TOTAL_BYTES:
            raise self.fail(piece.line, f"the files named so far hold more than "
                                        f"{MAX_TOTAL_BYTES} bytes, the most a playlist is read")
        return name, resolved, offset, length

    def read(self, piece: _Piece, where: Tuple[str, str, int, int]) -> bytes:
        name, resolved, offset, length = where
        try:
            fd = os.open(resolved, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOFOLLOW)
        except OSError as exc:
            raise self.fail(piece.line, f"{name}: {exc.strerror or exc}") from None
        with os.fdopen(fd, "rb") as stream:
            # What was opened is still the regular file, in the folder, that was checked.
            actual = (os.path.realpath(f"/proc/self/fd/{fd}") if os.path.isdir("/proc/self/fd")
                      else resolved)
            if not stat.S_ISREG(os.fstat(fd).st_mode) or (
                    not self.allow_outside and not self.inside(actual)):
                raise self.fail(piece.line, f"{name} changed while the playlist was read")
            stream.seek(offset)
            data = stream.read(length)
        if len(data) != length:
            raise self.fail(piece.line, f"{name} changed while the playlist was read")
        return data


def _byte_range(reader: _Reader, line: int, text: str) -> Tuple[int, Optional[int]]:
    match = re.fullmatch(r"\s*(\d{1,19})(?:@(\d{1,19}))?\s*", text)
    if not match or max(int(group) for group in match.groups("0")) > _MAX_OFFSET:
        shown = text if len(text) <= 40 else text[:40] + "..."
        raise reader.fail(line, f"unreadable byte range {shown!r}")
    return int(match.group(1)), None if match.group(2) is None else int(match.group(2))


def _renditions(reader: _Reader, lines: List[str]) -> List[str]:
    """Each rendition a master playlist names, once, with what it says about it (one pass:
    a variant's URI is the first line after its #EXT-X-STREAM-INF that is not a tag)."""
    found: Dict[str, str] = {}
    pending: List[str] = []  # variants whose URI line has not come yet
    for line in lines:
        text = line.strip()
        if line.startswith("#EXT-X-STREAM-INF:"):
            attributes = _attributes(line.partition(":")[2])
            what = ", ".join(v for v in (attributes.get("RESOLUTION"), attributes.get("CODECS"))
                             if v)
            pending.append(what or "variant")
        elif line.startswith("#EXT-X-MEDIA:"):
            attributes = _attributes(line.partition(":")[2])
            if "URI" in attributes:
                what = " ".join(v for v in (attributes.get("TYPE", "").lower(),
                                            attributes.get("NAME")) if v)
                found.setdefault(os.path.join(reader.directory, attributes["URI"]), what)
        elif text and not line.startswith("#"):
            for what in pending:
                found.setdefault(os.path.join(reader.directory, text), what)
            pending.clear()
    return [f"{uri} ({what})" for uri, what in found.items()]


def _pieces(reader: _Reader, lines: List[str]) -> Tuple[Optional[_Piece], List[_Piece]]:
    init: Optional[_Piece] = None
    segments: List[_Piece] = []
    pending_range: Optional[Tuple[int, Optional[int]]] = None
    duration: Optional[Tuple[float, bool]] = None
    for number, line in enumerate(lines, start=1):
        line = line.strip()
        if not line:
            continue
        if line.startswith("#EXT-X-KEY:"):
            method = _attributes(line.partition(":")[2]).get("METHOD", "NONE")
            if method != "NONE":
                raise reader.fail(number, f"encrypted segments (METHOD={method}) are not "
                                          "supported")
        elif line.startswith("#EXT-X-MAP:"):
            attributes = _attributes(line.partition(":")[2])
            if "URI" not in attributes:
                raise reader.fail(number, "#EXT-X-MAP without a URI")
            span = attributes.get("BYTERANGE")
            piece = _Piece(attributes["URI"], number,
                           None if span is None else _byte_range(reader, number, span))
            if piece.byte_range is not None and piece.byte_range[1] is None:
                piece.byte_range = (piece.byte_range[0], 0)
            if init is not None and (init.uri, init.byte_range) != (piece.uri, piece.byte_range):
                raise reader.fail(number, "a second initialisation section: playlists whose "
                                          "initialisation changes are not supported")
            init = init or piece
        elif line.startswith("#EXT-X-BYTERANGE:"):
            pending_range = _byte_range(reader, number, line.partition(":")[2])
        elif line.startswith("#EXTINF:"):
            value = line.partition(":")[2].partition(",")[0].strip()
            try:
                duration = (float(value), "." not in value)
            except ValueError:
                duration = None
        elif not line.startswith("#"):
            segments.append(_Piece(line, number, pending_range, duration))
            pending_range, duration = None, None
    return init, segments


def _check_fragment(reader: _Reader, piece: _Piece, init: bytes, segment: bytes) -> None:
    """A fragmented-MP4 segment must read as media behind the initialisation section and last
    about as long as the playlist says (a segment of another rendition does not)."""
    if not _core.is_mp4(segment):
        raise reader.fail(piece.line, f"segment {piece.uri} is not media of this playlist "
                                      "(it does not open with an MP4 box)")
    try:
        info = _core.probe(init + segment)
    except ValueError as exc:
        raise reader.fail(piece.line, f"segment {piece.uri} is not media of this playlist "
                                      f"({exc})") from None
    if piece.duration is None or not info["tracks"]:
        return
    declared, whole = piece.duration
    measured = max(track.get("duration", 0.0) for track in info["tracks"])
    tolerance = max(0.5, declared / 2) + (1.0 if whole else 0.0)
    if abs(measured - declared) > tolerance:
        raise reader.fail(piece.line, f"segment {piece.uri} lasts {measured:.3f} s where the "
                                      f"playlist says {declared:g} s: a segment of another "
                                      "rendition?")


def read_playlist(path: PathLike, *, allow_outside: bool = False) -> bytes:
    """The media a local HLS media playlist describes, as one file: its initialisation section
    (``#EXT-X-MAP``, byte range included) followed by each segment in order
    (``#EXT-X-BYTERANGE`` honoured), paths relative to the playlist. A transport-stream
    playlist gives its segments concatenated.

    Only files in the playlist's folder are read (after resolving ``..``, absolute paths,
    ``file://`` and percent-encoded URIs and symbolic links) unless ``allow_outside`` is True,
    and only regular files; the playlist may be at most ``MAX_PLAYLIST_BYTES`` long and name
    at most ``MAX_TOTAL_BYTES`` of media.

    Raises :class:`PlaylistError` (a ``ValueError``) with one line naming the playlist, the
    line and the file for a master playlist (listing its renditions), a remote URL, a file
    outside the folder, a file that is not a regular file, an encrypted segment, a missing
    file, a byte range past a file's end or a segment that is not media; ``OSError`` when the
    playlist itself cannot be read.
    """
    reader = _Reader(path, allow_outside)
    with _open_playlist(reader) as stream:
        raw = stream.read(MAX_PLAYLIST_BYTES + 1)
    if len(raw) > MAX_PLAYLIST_BYTES:
        raise reader.fail(None, f"longer than {MAX_PLAYLIST_BYTES} bytes, the most a playlist "
                                "is read")
    try:
        lines = raw.decode("utf-8-sig").splitlines()
    except UnicodeDecodeError:
        raise reader.fail(None, "not an HLS playlist (not UTF-8 text)") from None
    if not lines or lines[0].strip() != "#EXTM3U":
        raise reader.fail(None, "not an HLS playlist (its first line is not #EXTM3U)")
    renditions = _renditions(reader, lines)
    if renditions:
        raise reader.fail(None, "a master playlist; give one of its renditions: "
                                + "; ".join(renditions))
    init_piece, segments = _pieces(reader, lines)
    if not segments:
        raise reader.fail(None, "no media segments")
    # Every file is located (and the total counted) before any is read.
    init_where = None if init_piece is None else reader.locate(init_piece)
    places = [reader.locate(piece) for piece in segments]
    init = b""
    if init_piece is not None and init_where is not None:
        init = reader.read(init_piece, init_where)
    if init_piece is not None and not _core.is_mp4(init):
        raise reader.fail(init_piece.line, f"initialisation section {init_piece.uri} is not an "
                                           "MP4")
    parts = [init]
    for piece, where in zip(segments, places):
        data = reader.read(piece, where)
        if init_piece is not None:
            _check_fragment(reader, piece, init, data)
        elif not _core.looks_like_ts(data):
            raise reader.fail(piece.line, f"segment {piece.uri} is not media (no MPEG-TS "
                                          "packets, and the playlist names no #EXT-X-MAP)")
        parts.append(data)
    return b"".join(parts)


def _open_playlist(reader: _Reader) -> BinaryIO:
    """The playlist opened for reading: a regular file only (OSError when it cannot be)."""
    info = os.stat(reader.path)
    if not stat.S_ISREG(info.st_mode):
        if stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(21, os.strerror(21), reader.path)
        raise reader.fail(None, "not a regular file")
    fd = os.open(reader.path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise reader.fail(None, "not a regular file")
    return os.fdopen(fd, "rb")
