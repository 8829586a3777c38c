"""The operations over files. Each reads its inputs and writes its output through a temporary
file beside the output, renamed into place only when the operation succeeds: nothing is left
under the output's name when it fails, and the inputs are only ever opened for reading.

convert_file and the MP4 operations go from file to file in memory bounded by the files'
tables: the media is copied from the input to the output by offset, never held whole. Errors name the file:
``OSError`` (with ``filename``) for files that cannot be opened, read or written, otherwise
the exception of the in-memory function with the input's path before its message.

Inputs and outputs may also be binary file objects (``read()`` giving bytes, ``write(bytes)``)
and an input path ending in ``.m3u8`` is read as the HLS media playlist it is
(:func:`plexo.read_playlist`, ``allow_outside`` passed on to it); those go through memory.

Only regular files are read: a device, a FIFO or a socket is refused ("Not a regular file")
from its ``stat``, before it is opened. An input whose size, modification time or inode
differs at the end of a file-to-file operation from when it was opened (rewritten or replaced
meanwhile) fails the operation with "File changed while it was read", leaving no output."""
from __future__ import annotations

import contextlib
import os
from typing import (IO, Callable, Iterator, List, Literal, NoReturn, Optional, Sequence,
                    Union)

import _plexo

from . import _core
from ._core import Diagnostics
from ._inputs import check_unchanged, identity, open_regular
from ._output import atomic_output
from ._playlist import is_playlist, read_playlist

PathLike = Union[str, "os.PathLike[str]"]
#: A path, or a binary file object.
Source = Union[PathLike, IO[bytes]]
ThumbnailFormat = Literal["h264", "png", "jpeg"]


def _name(source: Source) -> str:
    if isinstance(source, (str, os.PathLike)):
        return os.fspath(source)
    return str(getattr(source, "name", f"<{type(source).__name__}>"))


def _fail(exc: Exception, inputs: Sequence[Source], dst: Source, joiner: str = ", ") -> NoReturn:
    """Re-raises a native error with the file it concerns (its message in English)."""
    if isinstance(exc, OSError):
        writing = str(exc.strerror or "").startswith("Cannot write")
        name = _name(dst if writing else inputs[0])
        raise type(exc)(exc.errno, exc.strerror, name) from None
    names = joiner.join(_name(p) for p in inputs)
    raise type(exc)(f"{names}: {_core.english(str(exc))}") from exc


def _in_memory(source: Source) -> bool:
    """Whether an argument goes through memory: a file object, or a playlist."""
    return not isinstance(source, (str, os.PathLike)) or is_playlist(source)


@contextlib.contextmanager
def _opened(paths: Sequence[Union[PathLike, int]]) -> Iterator[List[int]]:
    """Each input's descriptor: a path opened (a regular file only), or a descriptor given
    as it is."""
    with contextlib.ExitStack() as stack:
        yield [p if isinstance(p, int) else stack.enter_context(open_regular(p)).fileno()
               for p in paths]


def _file_to_file(operation: Callable[..., int], inputs: Sequence[Union[PathLike, int]],
                  dst: PathLike, *, overwrite: bool = True, joiner: str = ", ",
                  before_commit: Callable[[], None] = lambda: None,
                  names: Optional[Sequence[str]] = None) -> int:
    """``operation(*input_fds, output_fd)`` into a temporary file renamed onto ``dst`` once it
    succeeded, no input changed while it was read, and ``before_commit`` (which may raise to
    abandon the output) has returned. An input may be an open descriptor (``names`` then
    names the inputs in messages)."""
    shown: Sequence[Source] = names if names is not None else inputs  # type: ignore[assignment]
    paths = [p for p in inputs if not isinstance(p, int)]
    with _opened(inputs) as fds, atomic_output(dst, overwrite=overwrite, inputs=paths) as out:
        identities = [identity(fd) for fd in fds]
        try:
            written = operation(*fds, out.fileno())
        except (ValueError, OSError) as exc:
            _fail(exc, shown, dst, joiner)
        for source, fd, before in zip(inputs, fds, identities):
            if not isinstance(source, int):
                check_unchanged(source, fd, before)
        before_commit()
        return written


def _mp4_file_operation(native: Callable[..., int],
                        names: Sequence[str] = ("the input",)) -> Callable[..., int]:
    """``native(*input_fds, output_fd)``, its refusal hinting at conversion for an input that
    is a transport stream, as the in-memory MP4 operations do."""
    def run(*fds: int) -> int:
        try:
            return native(*fds)
        except ValueError as exc:
            message = _core._hinted(str(exc), [os.pread(fd, 1 << 12, 0) for fd in fds[:-1]],
                                    names)
            if message == str(exc):
                raise
            raise ValueError(message) from exc
    return run


def _write(dst: Source, data: bytes, inputs: Sequence[Source]) -> int:
    if not isinstance(dst, (str, os.PathLike)):
        dst.write(data)
        return len(data)
    paths = [p for p in inputs if isinstance(p, (str, os.PathLike))]
    with atomic_output(dst, inputs=paths) as out:
        out.write(data)
    return len(data)


def _read(src: Source, allow_outside: bool = False) -> bytes:
    if not isinstance(src, (str, os.PathLike)):
        data = src.read()
        if not isinstance(data, bytes):
            raise TypeError(f"{type(src).__name__!r} is not a binary file object: its read() "
                            f"gave {type(data).__name__!r}, not 'bytes'")
        return data
    if is_playlist(src):
        return read_playlist(src, allow_outside=allow_outside)
    with open_regular(src) as stream:
        before = identity(stream.fileno())
        data = stream.read()
        check_unchanged(src, stream.fileno(), before)
    return data


def _through_memory(operation: Callable[..., bytes], inputs: Sequence[Source],
                    dst: Source, allow_outside: bool = False) -> int:
    data = [_read(src, allow_outside) for src in inputs]
    try:
        result = operation(*data)
    except ValueError as exc:
        _fail(exc, inputs, dst)
    del data
    return _write(dst, result, inputs)


def convert_file(src: Source, dst: Source, *, reset_timestamps: bool = False,
                 diagnostics: Diagnostics = None, allow_outside: bool = False) -> int:
    """Convert the transport stream in ``src`` to an MP4 written to ``dst``
    (:func:`plexo.convert_ts_to_mp4`, byte for byte, diagnostics included); returns the number
    of bytes written. Raises ``OSError`` for files, otherwise as
    :func:`plexo.convert_ts_to_mp4`."""
    if _in_memory(src) or _in_memory(dst):
        data = _read(src, allow_outside)
        try:
            result = _core.convert_ts_to_mp4(data, reset_timestamps, diagnostics=diagnostics)
        except ValueError as exc:
            _fail(exc, [src], dst)
        del data
        return _write(dst, result, [src])
    lines = _core._sink_argument(diagnostics)
    try:
        return _file_to_file(
            lambda src_fd, dst_fd: _plexo._convert_file(src_fd, dst_fd, reset_timestamps, lines),
            [src], dst)  # type: ignore[list-item, arg-type]
    finally:
        _core._deliver(lines, diagnostics)


def defragment_file(src: Source, dst: Source, *, allow_outside: bool = False) -> int:
    """Write the progressive form of the fragmented MP4 in ``src`` to ``dst``
    (:func:`plexo.defragment_mp4`, byte for byte); returns the number of bytes written."""
    if _in_memory(src) or _in_memory(dst):
        return _through_memory(_core.defragment_mp4, [src], dst, allow_outside)
    return _file_to_file(_mp4_file_operation(_plexo._defragment_file), [src], dst)  # type: ignore[list-item, arg-type]


def mux_files(video: Source, audio: Source, dst: Source, *, allow_outside: bool = False) -> int:
    """Join the video and audio fragmented MP4 files into one MP4 at ``dst``
    (:func:`plexo.mux_fmp4_tracks`, byte for byte, colliding track IDs renumbered); returns the
    number of bytes written."""
    if _in_memory(video) or _in_memory(audio) or _in_memory(dst):
        return _through_memory(_core.mux_fmp4_tracks, [video, audio], dst, allow_outside)
    return _file_to_file(_mp4_file_operation(_plexo._mux_files, _core._MUX_INPUTS),
                         [video, audio], dst)  # type: ignore[list-item, arg-type]


def reset_file(src: Source, dst: Source, *, allow_outside: bool = False) -> int:
    """Write the fragmented MP4 in ``src`` with its timelines starting at zero to ``dst``
    (:func:`plexo.reset_mp4_timestamps`, byte for byte); returns the number of bytes
    written."""
    if _in_memory(src) or _in_memory(dst):
        return _through_memory(_core.reset_mp4_timestamps, [src], dst, allow_outside)
    return _file_to_file(_mp4_file_operation(_plexo._reset_file), [src], dst)  # type: ignore[list-item, arg-type]


def thumbnail(data: _core.BytesLike, format: ThumbnailFormat = "h264", *,
              diagnostics: Diagnostics = None) -> bytes:
    """The first key frame of a transport stream or MP4: Annex B H.264 for ``"h264"``, a
    picture for ``"png"`` and ``"jpeg"`` (these need the ``plexo[image]`` extra)."""
    if format == "h264":
        return _core.extract_thumbnail(data, diagnostics=diagnostics)
    from ._image import thumbnail_image
    return thumbnail_image(data, format, diagnostics=diagnostics)


def thumbnail_file(src: Source, dst: Source, *, format: ThumbnailFormat = "h264",
                   diagnostics: Diagnostics = None, allow_outside: bool = False) -> int:
    """Write the first key frame of the transport stream or MP4 in ``src`` to ``dst`` as
    ``format`` (see :func:`thumbnail`); returns the number of bytes written."""
    data = _read(src, allow_outside)
    try:
        result = thumbnail(data, format, diagnostics=diagnostics)
    except ValueError as exc:
        _fail(exc, [src], dst)
    del data
    return _write(dst, result, [src])
