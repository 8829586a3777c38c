"""The operations over files: each reads its inputs whole, runs one operation and writes the
result whole. Nothing is written when the operation fails, and a path is written through a
temporary file renamed into place, so no partial file ever stands under its name.

Inputs and outputs are paths (``str`` or ``os.PathLike``) or binary file objects (anything
with ``read()`` returning bytes, or ``write(bytes)``); an HLS media playlist (``.m3u8``) is
read as the media it describes (:func:`plexo.read_playlist`)."""
from __future__ import annotations

import os
from typing import IO, Literal, Union

from . import _core
from ._core import Diagnostics
from ._output import atomic_output
from ._playlist import is_playlist, read_playlist

PathLike = Union[str, "os.PathLike[str]"]
Source = Union[PathLike, IO[bytes]]
ThumbnailFormat = Literal["h264", "png", "jpeg"]


def _write(dst: Source, data: bytes, *sources: Source) -> int:
    if hasattr(dst, "write"):
        dst.write(data)
        return len(data)
    paths = [s for s in sources if not hasattr(s, "read")]
    with atomic_output(dst, inputs=paths) as stream:
        stream.write(data)
    return len(data)


def _read(src: Source) -> bytes:
    if hasattr(src, "read"):
        data = src.read()
        if not isinstance(data, bytes):
            raise TypeError(f"{type(src).__name__!r} is not a binary file object: its read() "
                            f"gave {type(data).__name__!r}, not 'bytes'")
        return data
    if is_playlist(src):
        return read_playlist(src)
    with open(src, "rb") as stream:
        return stream.read()


def convert_file(src: Source, dst: Source, *, reset_timestamps: bool = False,
                 diagnostics: Diagnostics = None) -> int:
    """Convert the transport stream in ``src`` to an MP4 written to ``dst``; returns the number
    of bytes written. Raises ``OSError`` for files, otherwise as
    :func:`plexo.convert_ts_to_mp4`."""
    return _write(dst, _core.convert_ts_to_mp4(_read(src), reset_timestamps,
                                                diagnostics=diagnostics), src)


def defragment_file(src: Source, dst: Source) -> int:
    """Write the progressive form of the fragmented MP4 in ``src`` to ``dst``
    (:func:`plexo.defragment_mp4`); returns the number of bytes written."""
    return _write(dst, _core.defragment_mp4(_read(src)), src)


def mux_files(video: Source, audio: Source, dst: Source) -> int:
    """Join the video and audio fragmented MP4 files into one MP4 at ``dst``
    (:func:`plexo.mux_fmp4_tracks`); returns the number of bytes written."""
    return _write(dst, _core.mux_fmp4_tracks(_read(video), _read(audio)), video, audio)


def reset_file(src: Source, dst: Source) -> int:
    """Write the fragmented MP4 in ``src`` with its timelines starting at zero to ``dst``
    (:func:`plexo.reset_mp4_timestamps`); returns the number of bytes written."""
    return _write(dst, _core.reset_mp4_timestamps(_read(src)), src)


def thumbnail(data: _core.BytesLike, format: ThumbnailFormat = "h264", *,
              diagnostics: Diagnostics = None) -> bytes:
    """The first key frame of a transport stream or MP4: Annex B H.264 for ``"h264"``, a
    picture for ``"png"`` and ``"jpeg"`` (these need the ``plexo[image]`` extra)."""
    if format == "h264":
        return _core.extract_thumbnail(data, diagnostics=diagnostics)
    from ._image import thumbnail_image
    return thumbnail_image(data, format, diagnostics=diagnostics)


def thumbnail_file(src: Source, dst: Source, *, format: ThumbnailFormat = "h264",
                   diagnostics: Diagnostics = None) -> int:
    """Write the first key frame of the transport stream or MP4 in ``src`` to ``dst`` as
    ``format`` (see :func:`thumbnail`); returns the number of bytes written."""
    return _write(dst, thumbnail(_read(src), format, diagnostics=diagnostics), src)
