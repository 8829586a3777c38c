"""Writing an output file so that a failure never leaves part of it under its final name.

The bytes go to a temporary file in the target's directory, which is flushed, synced and
renamed onto the target once everything is written; on any exception it is removed and the
target is left as it was. The rename replaces a symbolic link planted at the target rather
than writing through it."""
from __future__ import annotations

import contextlib
import errno
import os
import tempfile
from typing import BinaryIO, Iterable, Iterator, Union

PathLike = Union[str, "os.PathLike[str]"]


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


# Read once: the umask can only be read by setting it, which is not safe once threads run.
_MODE = 0o666 & ~_umask()


def same_file(a: PathLike, b: PathLike) -> bool:
    """Whether both paths name one existing file (through hard links or symbolic links)."""
    try:
        return os.path.samefile(a, b)
    except (OSError, ValueError):
        return False


@contextlib.contextmanager
def atomic_output(path: PathLike, *, overwrite: bool = True,
                  inputs: Iterable[PathLike] = ()) -> Iterator[BinaryIO]:
    """A binary file object on a temporary file beside ``path``, renamed onto ``path`` when the
    block ends without an exception and removed otherwise.

    Raises ``FileExistsError`` when ``path`` exists and ``overwrite`` is false, and
    ``ValueError`` when ``path`` is the same file as one of ``inputs`` (hard and symbolic links
    included), before anything is created.
    """
    target = os.fspath(path)
    for source in inputs:
        if same_file(source, target):
            raise ValueError(f"{target}: the output is the input {os.fspath(source)}; "
                             "it would be overwritten")
    if not overwrite and os.path.lexists(target):
        raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), target)
    directory, name = os.path.split(target)
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=directory or ".")
    try:
        with os.fdopen(fd, "wb") as stream:
            yield stream
            stream.flush()
            os.fchmod(stream.fileno(), _MODE)
            os.fsync(stream.fileno())
        if not overwrite and os.path.lexists(target):
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), target)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
