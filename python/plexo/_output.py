"""Writing a file safely: the output goes to a temporary file beside its target, which takes
the target's name only once it is complete. On any exception the temporary file is removed
and the target is left as it was; the rename replaces a symbolic link planted at the target
rather than writing through it.

Where the file system allows (``O_TMPFILE``), the temporary file has no name at all until it
is linked into place, so a process killed mid-write (SIGKILL, the OOM killer, a power cut)
leaves nothing behind. Elsewhere it is named ``.NAME.XXXXXXXX.part`` and held under an
exclusive lock while written. Either way, the first output a process writes into a folder
removes the temporaries of that naming that no process holds and that are older than a
minute (left by a killed run, or by one killed between naming an unnamed file and renaming
it over its target)."""
from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import re
import secrets
import signal
import stat
import tempfile
import threading
import time
from typing import BinaryIO, Iterable, Iterator, Set, Union

PathLike = Union[str, "os.PathLike[str]"]


_INTERRUPTS = {signal.SIGINT, signal.SIGTERM}

def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


# The mode a plain open() gives a new file. Read once: the umask can only be read by setting
# it, which would change it for every thread creating files meanwhile.
_MODE = 0o666 & ~_umask()


# A temporary output's name: "." + the target's name + "." + mkstemp's eight characters + ".part".
_TEMPORARY = re.compile(r"\..+\.[a-z0-9_]{8}\.part")
# How old an unheld temporary must be before it counts as left behind.
STALE_AFTER = 60.0
_swept: Set[str] = set()
_swept_lock = threading.Lock()


def remove_stale_temporaries(directory: str) -> int:
    """Removes the temporaries of our naming in ``directory`` that no process holds (a writer
    locks its own) and that were last written over STALE_AFTER seconds ago; returns how many."""
    removed = 0
    try:
        entries = list(os.scandir(directory))
    except OSError:
        return 0
    for entry in entries:
        if not _TEMPORARY.fullmatch(entry.name):
            continue
        try:
            fd = os.open(entry.path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError:
            continue
        try:
            info = os.fstat(fd)
            if not stat.S_ISREG(info.st_mode) or time.time() - info.st_mtime < STALE_AFTER:
                continue
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # held: a writer is alive
            now = os.lstat(entry.path)
            if (now.st_dev, now.st_ino) == (info.st_dev, info.st_ino):
                os.unlink(entry.path)
                removed += 1
        except OSError:
            pass
        finally:
            os.close(fd)
    return removed


def _sweep_once(directory: str) -> None:
    """remove_stale_temporaries, the first time this process writes into ``directory``."""
    key = os.path.realpath(directory)
    with _swept_lock:
        if key in _swept:
            return
        _swept.add(key)
    remove_stale_temporaries(directory)


def _unnamed(directory: str) -> Union[int, None]:
    """A file without a name in ``directory`` (O_TMPFILE), or None where the file system or
    the kernel has none."""
    flag = getattr(os, "O_TMPFILE", 0)
    if not flag or not os.path.isdir("/proc/self/fd"):
        return None
    try:
        return os.open(directory, flag | os.O_WRONLY | os.O_CLOEXEC, 0o600)
    except OSError as exc:
        if exc.errno in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL, errno.ENOENT):
            return None  # no O_TMPFILE here: a named temporary instead
        raise


def _named_temporary(directory: str, target: str) -> "tuple[int, str]":
    fd, temporary = tempfile.mkstemp(prefix="." + os.path.basename(target) + ".",
                                     suffix=".part", dir=directory)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        pass  # a file system without locks: the age alone protects it
    return fd, temporary


def _link_into_place(fd: int, directory: str, target: str, overwrite: bool) -> None:
    """Gives the unnamed file open at ``fd`` the name ``target``: a link that fails if the
    target exists, or, to replace it, a link under a temporary name renamed over it."""
    # linkat(AT_SYMLINK_FOLLOW) of /proc/self/fd/N; os.link calls it (rather than link(2),
    # which would not follow the link) only when given a directory descriptor.
    proc = os.open("/proc/self/fd", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        if not overwrite:
            # fails if the target appeared meanwhile
            os.link(str(fd), target, src_dir_fd=proc, follow_symlinks=True)
            return
        while True:
            temporary = os.path.join(directory, f".{os.path.basename(target)}."
                                                f"{secrets.token_hex(4)}.part")
            try:
                os.link(str(fd), temporary, src_dir_fd=proc, follow_symlinks=True)
                break
            except FileExistsError:
                continue
    finally:
        os.close(proc)
    try:
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


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
    temporary = None
    try:
        _sweep_once(directory)
        fd = _unnamed(directory)
        if fd is None:
            fd, temporary = _named_temporary(directory, target)
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
            if temporary is None:
                _link_into_place(out.fileno(), directory, target, overwrite)
        if temporary is None:
            return
        if overwrite:
            os.replace(temporary, target)
        else:
            os.link(temporary, target)  # fails if the target appeared meanwhile
            os.unlink(temporary)
    except BaseException:
        if temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        raise
