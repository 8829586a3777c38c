"""The operations over files. Each reads its inputs and writes its output through a temporary
file beside the output, renamed into place only when the operation succeeds: nothing is left
under the output's name when it fails, and the inputs are only ever opened for reading.

convert_file and the MP4 operations go from file to file in memory bounded by the files'
tables: the media is copied from the input to the output by offset, never held whole. Errors name the file:
``OSError`` (with ``filename``) for files that cannot be opened, read or written, otherwise
the exception of the in-memory function with the input's path before its message."""
from __future__ import annotations

import contextlib
import os
import pathlib
from typing import Callable, Iterator, List, Literal, NoReturn, Sequence, Union

import _plexo

from . import _core
from ._core import Diagnostics
from ._output import atomic_output

PathLike = Union[str, "os.PathLike[str]"]
ThumbnailFormat = Literal["h264", "png", "jpeg"]


def _fail(exc: Exception, inputs: Sequence[PathLike], dst: PathLike) -> NoReturn:
    """Re-raises a native error with the file it concerns."""
    if isinstance(exc, OSError):
        writing = str(exc.strerror or "").startswith("Cannot write")
        name = os.fspath(dst if writing else inputs[0])
        raise type(exc)(exc.errno, exc.strerror, name) from None
    names = ", ".join(os.fspath(p) for p in inputs)
    raise type(exc)(f"{names}: {exc}") from None


@contextlib.contextmanager
def _opened(paths: Sequence[PathLike]) -> Iterator[List[int]]:
    with contextlib.ExitStack() as stack:
        yield [stack.enter_context(open(p, "rb")).fileno() for p in paths]


def _file_to_file(operation: Callable[..., int], inputs: Sequence[PathLike],
                  dst: PathLike) -> int:
    with _opened(inputs) as fds, atomic_output(dst, inputs=inputs) as out:
        try:
            return operation(*fds, out.fileno())
        except (ValueError, NotImplementedError, OSError) as exc:
            _fail(exc, inputs, dst)


def _write(dst: PathLike, data: bytes, inputs: Sequence[PathLike]) -> int:
    with atomic_output(dst, inputs=inputs) as out:
        out.write(data)
    return len(data)


def _read(src: PathLike) -> bytes:
    return pathlib.Path(src).read_bytes()


def convert_file(src: PathLike, dst: PathLike, *, reset_timestamps: bool = False,
                 diagnostics: Diagnostics = True) -> int:
    """Convert the transport stream in ``src`` to an MP4 written to ``dst``
    (:func:`plexo.convert_ts_to_mp4`, byte for byte, diagnostics included); returns the number
    of bytes written."""
    lines = _core._sink_argument(diagnostics)
    try:
        return _file_to_file(
            lambda src_fd, dst_fd: _plexo._convert_file(src_fd, dst_fd, reset_timestamps, lines),
            [src], dst)
    finally:
        _core._deliver(lines, diagnostics)


def defragment_file(src: PathLike, dst: PathLike) -> int:
    """Write the progressive form of the fragmented MP4 in ``src`` to ``dst``
    (:func:`plexo.defragment_mp4`, byte for byte); returns the number of bytes written."""
    return _file_to_file(_plexo._defragment_file, [src], dst)


def mux_files(video: PathLike, audio: PathLike, dst: PathLike) -> int:
    """Join the video and audio fragmented MP4 files into one MP4 at ``dst``
    (:func:`plexo.mux_fmp4_tracks`, byte for byte); returns the number of bytes written."""
    return _file_to_file(_plexo._mux_files, [video, audio], dst)


def reset_file(src: PathLike, dst: PathLike) -> int:
    """Write the fragmented MP4 in ``src`` with its timelines starting at zero to ``dst``
    (:func:`plexo.reset_mp4_timestamps`, byte for byte); returns the number of bytes
    written."""
    return _file_to_file(_plexo._reset_file, [src], dst)


def thumbnail(data: bytes, format: ThumbnailFormat = "h264", *,
              diagnostics: Diagnostics = True) -> bytes:
    """The first key frame of a transport stream or MP4: Annex B H.264 for ``"h264"``, a
    picture for ``"png"`` and ``"jpeg"`` (these need the ``plexo[image]`` extra)."""
    if format == "h264":
        return _core.extract_thumbnail(data, diagnostics=diagnostics)
    from ._image import thumbnail_image
    return thumbnail_image(data, format, diagnostics=diagnostics)


def thumbnail_file(src: PathLike, dst: PathLike, *, format: ThumbnailFormat = "h264",
                   diagnostics: Diagnostics = True) -> int:
    """Write the first key frame of the transport stream or MP4 in ``src`` to ``dst`` as
    ``format`` (see :func:`thumbnail`); returns the number of bytes written."""
    return _write(dst, thumbnail(_read(src), format, diagnostics=diagnostics), [src])
