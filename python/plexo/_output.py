"""Writing a file safely: the output goes to a temporary file beside its target, which takes
the target's name only once it is complete. On any exception the temporary file is removed
and the target is left as it was; the rename replaces a symbolic link planted at the target
rather than writing through it."""
from __future__ import annotations

import contextlib
import errno
import os
import signal
import tempfile
from typing import BinaryIO, Iterable, Iterator, Union

PathLike = Union[str, "os.PathLike[str]"]


_INTERRUPTS = {signal.SIGINT, signal.SIGTERM}

def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


# The mode a plain open() gives a new file. Read once: the umask can only be read by setting
# it, which would change it for every thread creating files meanwhile.
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
    """A binary file object on a temporary file in ``path``'s directory. On success it is
    flushed, synced and renamed onto ``path``; on any exception it is removed and ``path`` is
    left untouched.

    Raises ``IsADirectoryError`` when ``path`` is a directory, ``FileExistsError`` for an
    existing ``path`` when ``overwrite`` is False and ``ValueError`` when ``path`` is the same file as one of ``inputs`` (hard links and
    symbolic links included), before anything is created.
    """
    target = os.fspath(path)
    for source in inputs:
        if same_file(source, target):
            raise ValueError(f"{target}: the output would overwrite the input {os.fspath(source)}")
    if os.path.isdir(target) and not os.path.islink(target):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), target)
    if not overwrite and os.path.lexists(target):
        raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), target)
    directory = os.path.dirname(os.path.abspath(target))
    # Ctrl-C or SIGTERM between creating the temporary file and the cleanup below would leave
    # it behind (a batch meets exactly that moment when it moves to its next input): the
    # signals wait until the cleanup is in place.
    masked = signal.pthread_sigmask(signal.SIG_BLOCK, _INTERRUPTS)
    try:
        fd, temporary = tempfile.mkstemp(prefix="." + os.path.basename(target) + ".",
                                         suffix=".part", dir=directory)
    except BaseException as exc:
        signal.pthread_sigmask(signal.SIG_SETMASK, masked)
        if isinstance(exc, OSError):
            raise type(exc)(exc.errno, exc.strerror, target) from None
        raise
    try:
        signal.pthread_sigmask(signal.SIG_SETMASK, masked)
        with os.fdopen(fd, "wb") as out:
            yield out
            out.flush()
            os.fchmod(out.fileno(), _MODE)
            os.fsync(out.fileno())
        if overwrite:
            os.replace(temporary, target)
        else:
            os.link(temporary, target)  # fails if the target appeared meanwhile
            os.unlink(temporary)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
