"""Local HLS media playlists read as the one file they describe: the initialisation section
(``#EXT-X-MAP``) followed by every media segment in order, byte ranges honoured, paths taken
relative to the playlist. Transport-stream playlists concatenate their segments.

Refused, each with one line naming the playlist, the line and the file: master playlists (the
message lists their renditions), remote URLs, encrypted segments, missing files, byte ranges
past a file's end, segments that are not media, and fragmented-MP4 segments whose length
disagrees with the playlist's own ``#EXTINF`` (a segment of another rendition)."""
from __future__ import annotations

import os
import re
import urllib.parse
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple, Union

from . import _core

PathLike = Union[str, "os.PathLike[str]"]

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
    def __init__(self, path: PathLike) -> None:
        self.path = os.fspath(path)
        self.directory = os.path.dirname(self.path)
        self.ends: Dict[str, int] = {}  # where the last byte range of each file ended

    def fail(self, line: Optional[int], message: str) -> PlaylistError:
        where = self.path if line is None else f"{self.path}, line {line}"
        return PlaylistError(f"{where}: {message}".replace("\n", " "))

    def local(self, piece: _Piece) -> str:
        uri = piece.uri
        if uri.lower().startswith("file://"):
            return urllib.parse.unquote(urllib.parse.urlsplit(uri).path)
        if _REMOTE.match(uri) and not re.match(r"^[A-Za-z]:[\\/]", uri):
            raise self.fail(piece.line, f"{uri} is a remote URL; plexo reads local files only")
        resolved = os.path.join(self.directory, uri)
        if not os.path.exists(resolved) and "%" in uri:
            resolved = os.path.join(self.directory, urllib.parse.unquote(uri))
        return resolved

    def read(self, piece: _Piece) -> bytes:
        name = self.local(piece)
        try:
            with open(name, "rb") as stream:
                size = os.fstat(stream.fileno()).st_size
                if piece.byte_range is None:
                    return stream.read()
                length, offset = piece.byte_range
                if offset is None:
                    offset = self.ends.get(name, 0)
                if offset + length > size:
                    raise self.fail(piece.line, f"byte range {length}@{offset} runs past the end "
                                                f"of {name} ({size} bytes)")
                self.ends[name] = offset + length
                stream.seek(offset)
                return stream.read(length)
        except FileNotFoundError:
            raise self.fail(piece.line, f"segment {name} not found") from None
        except IsADirectoryError:
            raise self.fail(piece.line, f"segment {name} is a directory") from None
        except OSError as exc:
            raise self.fail(piece.line, f"{name}: {exc.strerror or exc}") from None


def _byte_range(reader: _Reader, line: int, text: str) -> Tuple[int, Optional[int]]:
    match = re.fullmatch(r"\s*(\d+)(?:@(\d+))?\s*", text)
    if not match:
        raise reader.fail(line, f"unreadable byte range {text!r}")
    return int(match.group(1)), None if match.group(2) is None else int(match.group(2))


def _renditions(reader: _Reader, lines: List[str]) -> List[str]:
    """Each rendition a master playlist names, once, with what it says about it."""
    found: Dict[str, str] = {}
    for index, line in enumerate(lines):
        if line.startswith("#EXT-X-STREAM-INF:"):
            attributes = _attributes(line.partition(":")[2])
            uri = next((text.strip() for text in lines[index + 1:]
                        if text.strip() and not text.startswith("#")), None)
            if uri is None:
                continue
            what = ", ".join(v for v in (attributes.get("RESOLUTION"), attributes.get("CODECS"))
                             if v)
            found.setdefault(os.path.join(reader.directory, uri), what or "variant")
        elif line.startswith("#EXT-X-MEDIA:"):
            attributes = _attributes(line.partition(":")[2])
            if "URI" in attributes:
                what = " ".join(v for v in (attributes.get("TYPE", "").lower(),
                                            attributes.get("NAME")) if v)
                found.setdefault(os.path.join(reader.directory, attributes["URI"]), what)
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


def read_playlist(path: PathLike) -> bytes:
    """The media a local HLS media playlist describes, as one file: its initialisation section
    (``#EXT-X-MAP``, byte range included) followed by each segment in order
    (``#EXT-X-BYTERANGE`` honoured), paths relative to the playlist. A transport-stream
    playlist gives its segments concatenated.

    Raises :class:`PlaylistError` (a ``ValueError``) with one line naming the playlist, the
    line and the file for a master playlist (listing its renditions), a remote URL, an
    encrypted segment, a missing file, a byte range past a file's end or a segment that is not
    media; ``OSError`` when the playlist itself cannot be read.
    """
    reader = _Reader(path)
    with open(reader.path, "rb") as stream:
        raw = stream.read()
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
    init = b"" if init_piece is None else reader.read(init_piece)
    if init_piece is not None and not _core.is_mp4(init):
        raise reader.fail(init_piece.line, f"initialisation section {init_piece.uri} is not an "
                                           "MP4")
    parts = [init]
    for piece in segments:
        data = reader.read(piece)
        if init_piece is not None:
            _check_fragment(reader, piece, init, data)
        elif not _core.looks_like_ts(data):
            raise reader.fail(piece.line, f"segment {piece.uri} is not media (no MPEG-TS "
                                          "packets, and the playlist names no #EXT-X-MAP)")
        parts.append(data)
    return b"".join(parts)
