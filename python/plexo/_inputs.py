"""Opening an input safely: only regular files are opened (a device, a FIFO or a socket is
refused from its ``stat``, before any open that could block or never end), and a file that
changed while it was read is noticed."""
from __future__ import annotations

import errno
import os
import stat
from typing import BinaryIO, Tuple, Union

PathLike = Union[str, "os.PathLike[str]"]


def open_regular(path: PathLike) -> BinaryIO:
    """``path`` opened for reading when it is a regular file (or a link to one). Anything else
    (a device, a FIFO, a socket, a directory) is refused from its ``stat``, before it is opened:
    a FIFO would block the open and ``/dev/zero`` never ends."""
    info = os.stat(path)
    if stat.S_ISDIR(info.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
    if not stat.S_ISREG(info.st_mode):
        raise ValueError(f"{os.fspath(path)}: Not a regular file")
    # Without blocking, should a FIFO have taken the name since the stat.
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ValueError(f"{os.fspath(path)}: Not a regular file")
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def identity(fd: int) -> Tuple[int, int, int, int]:
    """What tells a file's version apart: its device, inode, size and modification time."""
    info = os.fstat(fd)
    return info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns


def check_unchanged(name: PathLike, fd: int, before: Tuple[int, int, int, int]) -> None:
    """Raises ValueError when the file open at ``fd`` has another size or modification time
    than ``before`` (from ``identity`` when it was opened), or ``name`` now names another
    file: its bytes were read while it was rewritten, so a result would mix two files."""
    try:
        now = os.stat(name)
        still = (now.st_dev, now.st_ino) == before[:2]
    except (OSError, ValueError):
        still = False
    if identity(fd) != before or not still:
        raise ValueError(f"{os.fspath(name)}: File changed while it was read (its size, "
                         "modification time or inode differ from when it was opened)")
