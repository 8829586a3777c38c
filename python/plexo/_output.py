"""Writing a file so that readers never see it half written."""
from __future__ import annotations

import contextlib
import errno
import os
import pathlib
import tempfile
from typing import BinaryIO, Iterable, Iterator, Union

PathLike = Union[str, "os.PathLike[str]"]


def _same_file(a: PathLike, b: PathLike) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


@contextlib.contextmanager
def atomic_output(path: PathLike, *, overwrite: bool = True,
                  inputs: Iterable[PathLike] = ()) -> Iterator[BinaryIO]:
    """A binary file on a temporary file beside ``path``. When the block ends without an
    exception, the file is flushed, synced and renamed onto ``path``; on any exception it is
    removed and ``path`` is left as it was.

    Raises ``FileExistsError`` when ``path`` exists and ``overwrite`` is false, and
    ``ValueError`` when ``path`` is the same file as one of ``inputs`` (hard links and
    symbolic links included).
    """
    target = pathlib.Path(path)
    if not overwrite and target.exists():
        raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), str(target))
    for source in inputs:
        if _same_file(source, target):
            raise ValueError(f"{target}: the output is the same file as the input {source}")
    fd, temporary = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".partial")
    try:
        with os.fdopen(fd, "wb") as handle:
            yield handle
            handle.flush()
            os.fsync(handle.fileno())
        if overwrite:
            os.replace(temporary, target)
        else:
            os.link(temporary, target)  # fails, rather than replaces, if it appeared meanwhile
            os.unlink(temporary)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
