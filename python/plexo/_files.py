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
import pathlib
import stat
from typing import IO, Callable, Iterator, List, Literal, NoReturn, Optional, Sequence, Union

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
# The first bytes of an input that tell what it is.
_HEAD = 1 << 16


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
            message = _core._blamed(message, lambda: _small_files(fds[:-1]), names)
            if message == str(exc):
                raise
            raise ValueError(message) from exc
    return run


# The largest input read whole again to find which input of a failed join is at fault.
_BLAME_LIMIT = 64 << 20


def _small_files(fds: Sequence[int]) -> Optional[List[bytes]]:
    sizes = [os.fstat(fd).st_size for fd in fds]
    if max(sizes, default=0) > _BLAME_LIMIT:
        return None
    return [os.pread(fd, size, 0) for fd, size in zip(fds, sizes)]


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
                 diagnostics: Diagnostics = None, audio: _core.AudioChoice = "all",
                 allow_outside: bool = False) -> int:
    """Convert the transport stream in ``src`` to an MP4 written to ``dst``
    (:func:`plexo.convert_ts_to_mp4`, byte for byte, diagnostics and ``audio`` included);
    returns the number of bytes written. Raises ``OSError`` for files, otherwise as
    :func:`plexo.convert_ts_to_mp4`, except that a file that is plainly something else says
    what it is (``"an MP4 file, not a transport stream ..."``, ``"a PNG image, not a
    transport stream"``) and one that does not open as a transport stream and gave nothing
    says ``"not a transport stream (...)"``."""
    all_audio = _core._all_audio(audio)
    if _in_memory(src) or _in_memory(dst):
        data = _read(src, allow_outside)
        try:
            result = _core._convert_checked(data[:_HEAD], lambda: _core.convert_ts_to_mp4(
                data, reset_timestamps, diagnostics=diagnostics, audio=audio))
        except ValueError as exc:
            _fail(exc, [src], dst)
        del data
        return _write(dst, result, [src])
    lines = _core._sink_argument(diagnostics)
    try:
        return _file_to_file(
            lambda src_fd, dst_fd: _core._convert_checked(
                os.pread(src_fd, _HEAD, 0),
                lambda: _plexo._convert_file(src_fd, dst_fd, reset_timestamps, lines, all_audio=all_audio)),
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
    """Join the video and audio MP4 files (fragmented or progressive) into one MP4 at ``dst``
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


def _probe_open(file: IO[bytes]) -> _core.ProbeResult:
    """:func:`plexo.probe` of the regular file open as ``file`` (its errors as that
    function's): an MP4 read by seeking, anything else read whole."""
    fd = file.fileno()
    head = os.pread(fd, _HEAD, 0)
    if _plexo._container(head) != "ts":
        return _core._probed(head[:4096], lambda: _plexo._probe_file(fd))
    return _core.probe(file.read())


def probe_file(src: Source) -> _core.ProbeResult:
    """What the file ``src`` holds, as :func:`plexo.probe` says of its bytes. An MP4 is read by
    seeking: its top-level box headers, its movie box and each movie fragment only while it is
    counted, so memory follows the file's tables, never its size. A transport stream, a
    playlist, a file object or a file that is not a regular one is read whole. Raises
    ``OSError`` for a file that cannot be read, ``ValueError`` (the path before the message)
    for one that cannot be probed."""
    if _in_memory(src):
        data = _read(src)
        try:
            return _core.probe(data)
        except ValueError as exc:
            _fail(exc, [src], src)
    with open_regular(src) as file:  # type: ignore[arg-type]
        try:
            return _probe_open(file)
        except ValueError as exc:
            _fail(exc, [src], src)


def _check_width(format: ThumbnailFormat, width: Optional[int]) -> None:
    if format == "h264" and width is not None:
        raise ValueError("width scales a decoded picture: ask for format 'png' or 'jpeg'")


def thumbnail(data: _core.BytesLike, format: ThumbnailFormat = "h264", *,
              diagnostics: Diagnostics = None, width: Optional[int] = None) -> bytes:
    """The first key frame of a transport stream or MP4: the coded picture as the stream
    carries it (Annex B H.264 or HEVC) for ``"h264"``, a picture for ``"png"`` and ``"jpeg"``
    (these need PyAV, the ``image`` extra), ``width`` pixels wide when given."""
    _check_width(format, width)
    if format == "h264":
        return _core.extract_thumbnail(data, diagnostics=diagnostics)
    from ._image import thumbnail_image
    return thumbnail_image(data, format, diagnostics=diagnostics, width=width)


# The first and the largest prefix of a transport stream read for its first key frame.
_FIRST_PREFIX, _LAST_PREFIX = 1 << 20, 64 << 20


def _ts_key_frame(file: IO[bytes], diagnostics: Diagnostics) -> bytes:
    """The first key frame of the transport stream in ``file``, as extract_thumbnail_from_ts
    gives it for the whole stream, from the shortest prefix that holds it: prefixes of 1, 2,
    4, ... MiB are read until two in a row give the same picture (a picture that a prefix cuts
    short grows in the next); past 64 MiB, the whole stream. The diagnostic lines are those of
    the prefix that answered."""
    data, length = b"", _FIRST_PREFIX
    answered: Optional[tuple[bytes, List[str]]] = None
    while length <= _LAST_PREFIX:
        data += file.read(length - len(data))
        if len(data) < length:  # the whole stream is in
            break
        lines: List[str] = []
        try:
            picture = _plexo._extract_thumbnail_from_ts(data, lines)
        except ValueError:
            answered = None
        else:
            if answered is not None and answered[0] == picture:
                _deliver_lines(answered[1], diagnostics)
                return picture
            answered = (picture, lines)
        length *= 2
    data += file.read()
    return _core.extract_thumbnail_from_ts(data, diagnostics=diagnostics)


def _deliver_lines(lines: List[str], diagnostics: Diagnostics) -> None:
    if diagnostics is True:
        os.write(1, "".join(lines).encode())
    elif diagnostics is not False:
        _core._deliver(lines, diagnostics)


def _thumbnail_of_file(file: IO[bytes], format: ThumbnailFormat, diagnostics: Diagnostics,
                       width: Optional[int]) -> bytes:
    """:func:`thumbnail` of the file open as ``file``: a transport stream in a regular file
    read only as far as its first key frame needs, anything else read whole."""
    fd = file.fileno()
    if not (stat.S_ISREG(os.fstat(fd).st_mode)
            and _plexo._container(os.pread(fd, _HEAD, 0)) == "ts"):
        return thumbnail(file.read(), format, diagnostics=diagnostics, width=width)
    _check_width(format, width)
    if format == "h264":
        return _ts_key_frame(file, diagnostics)
    from ._image import _av, encode_picture
    _av()  # fail before the media work when the extra is missing
    return encode_picture(_ts_key_frame(file, diagnostics), format, width=width)


def thumbnail_file(src: Source, dst: Source, *, format: ThumbnailFormat = "h264",
                   diagnostics: Diagnostics = None, width: Optional[int] = None,
                   allow_outside: bool = False) -> int:
    """Write the first key frame of the transport stream or MP4 in ``src`` to ``dst`` as
    ``format`` (see :func:`thumbnail`); returns the number of bytes written. A transport
    stream file is read only as far as its first key frame needs (prefixes of 1, 2, 4, ...
    MiB until two agree; past 64 MiB the whole stream); an MP4 or a playlist is read whole."""
    try:
        if _in_memory(src):
            result = thumbnail(_read(src, allow_outside), format, diagnostics=diagnostics, width=width)
        else:
            with open_regular(src) as file:  # type: ignore[arg-type]
                result = _thumbnail_of_file(file, format, diagnostics, width)
    except ValueError as exc:
        _fail(exc, [src], dst)
    return _write(dst, result, [src])
