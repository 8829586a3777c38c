"""The operations over files: each reads its inputs whole, runs one operation and writes the
result whole. Nothing is written when the operation fails."""
from __future__ import annotations

import os
import pathlib
from typing import Literal, Union

from . import _core
from ._core import Diagnostics

PathLike = Union[str, "os.PathLike[str]"]
ThumbnailFormat = Literal["h264", "png", "jpeg"]


def _write(dst: PathLike, data: bytes) -> int:
    pathlib.Path(dst).write_bytes(data)
    return len(data)


def _read(src: PathLike) -> bytes:
    return pathlib.Path(src).read_bytes()


def convert_file(src: PathLike, dst: PathLike, *, reset_timestamps: bool = False,
                 diagnostics: Diagnostics = None) -> int:
    """Convert the transport stream in ``src`` to an MP4 written to ``dst``; returns the number
    of bytes written. Raises ``OSError`` for files, otherwise as
    :func:`plexo.convert_ts_to_mp4`."""
    return _write(dst, _core.convert_ts_to_mp4(_read(src), reset_timestamps,
                                                diagnostics=diagnostics))


def defragment_file(src: PathLike, dst: PathLike) -> int:
    """Write the progressive form of the fragmented MP4 in ``src`` to ``dst``
    (:func:`plexo.defragment_mp4`); returns the number of bytes written."""
    return _write(dst, _core.defragment_mp4(_read(src)))


def mux_files(video: PathLike, audio: PathLike, dst: PathLike) -> int:
    """Join the video and audio fragmented MP4 files into one MP4 at ``dst``
    (:func:`plexo.mux_fmp4_tracks`); returns the number of bytes written."""
    return _write(dst, _core.mux_fmp4_tracks(_read(video), _read(audio)))


def reset_file(src: PathLike, dst: PathLike) -> int:
    """Write the fragmented MP4 in ``src`` with its timelines starting at zero to ``dst``
    (:func:`plexo.reset_mp4_timestamps`); returns the number of bytes written."""
    return _write(dst, _core.reset_mp4_timestamps(_read(src)))


def thumbnail(data: bytes, format: ThumbnailFormat = "h264", *,
              diagnostics: Diagnostics = None) -> bytes:
    """The first key frame of a transport stream or MP4: Annex B H.264 for ``"h264"``, a
    picture for ``"png"`` and ``"jpeg"`` (these need the ``plexo[image]`` extra)."""
    if format == "h264":
        return _core.extract_thumbnail(data, diagnostics=diagnostics)
    from ._image import thumbnail_image
    return thumbnail_image(data, format, diagnostics=diagnostics)


def thumbnail_file(src: PathLike, dst: PathLike, *, format: ThumbnailFormat = "h264",
                   diagnostics: Diagnostics = None) -> int:
    """Write the first key frame of the transport stream or MP4 in ``src`` to ``dst`` as
    ``format`` (see :func:`thumbnail`); returns the number of bytes written."""
    return _write(dst, thumbnail(_read(src), format, diagnostics=diagnostics))
