"""Shared measuring for the benchmarks.

Every figure is a best-of-N wall time of a call over whole inputs held in memory, compared
with plain copies of the same bytes measured in the same run:

- the copy floor, `bytes(bytearray(x))`: two copies into fresh memory, as a Python caller
  that copies its input to `bytes` would make them;
- one `bytearray(x)`: a single copy into fresh memory, mostly page faults on a large input;
- one C `memcpy` of the same size into freshly mapped memory advised for huge pages, made
  through ctypes. It moves less from machine to machine than the two above, because with huge
  pages the cost of faulting in fresh memory hardly counts.

Also here: thread scaling (the same calls on one thread and on two), PyAV's in-process remux of
the same input, and the peak memory one call adds, measured in a fresh interpreter.
"""
from __future__ import annotations

import concurrent.futures
import contextlib
import ctypes
import io
import json
import os
import pathlib
import subprocess
import sys
import time
from typing import Callable, Iterator, Sequence

try:
    import av
except ImportError:  # PyAV is the optional `bench` extra; its column is left empty without it
    av = None


def best_seconds(contenders: dict[str, Callable[[], object]], repeat: int = 5) -> dict[str, float]:
    """The shortest of `repeat` wall times of each contender, measured in rounds (each
    contender once per round) so that all of them meet the same spells of load on a busy
    machine. Each result is dropped inside the measured time: freeing it is part of the cost."""
    best = dict.fromkeys(contenders, float("inf"))
    for _ in range(repeat):
        for name, func in contenders.items():
            start = time.perf_counter()
            func()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def copy_twice(*inputs: bytes) -> None:
    """The copy floor: `bytes(bytearray(x))` of every input in turn."""
    for data in inputs:
        bytes(bytearray(data))


def copy_once(*inputs: bytes) -> None:
    """One `bytearray(x)` copy of every input in turn."""
    for data in inputs:
        bytearray(data)


# One C memcpy into fresh memory. The mapping is over-allocated by one huge page so that the
# copy's destination can start on a huge-page boundary, where the kernel can back it with huge
# pages; the mapping is released inside the measured time, as a dropped result would be.
_libc = ctypes.CDLL(None, use_errno=True)
_libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                       ctypes.c_long]
_libc.mmap.restype = ctypes.c_void_p
_libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
_libc.madvise.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
_libc.memcpy.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
_libc.memcpy.restype = ctypes.c_void_p
_PROT_READ_WRITE = 0x1 | 0x2
_MAP_PRIVATE_ANONYMOUS = 0x02 | 0x20
_MAP_FAILED = ctypes.c_void_p(-1).value
_MADV_HUGEPAGE = 14
HUGE_PAGE = 2 << 20


def memcpy_fresh(*inputs: bytes) -> None:
    """One C memcpy of every input in turn into freshly mapped memory advised for huge pages.
    ctypes releases the interpreter lock around each C call."""
    for data in inputs:
        length = -(-len(data) // HUGE_PAGE) * HUGE_PAGE + HUGE_PAGE
        base = _libc.mmap(None, length, _PROT_READ_WRITE, _MAP_PRIVATE_ANONYMOUS, -1, 0)
        if base in (None, _MAP_FAILED):
            raise OSError(ctypes.get_errno(), "mmap failed")
        start = -(-base // HUGE_PAGE) * HUGE_PAGE
        _libc.madvise(start, length - (start - base), _MADV_HUGEPAGE)  # a hint: failure is fine
        _libc.memcpy(start, data, len(data))
        _libc.munmap(base, length)


def huge_pages_setting() -> str:
    """The kernel's transparent huge page mode, e.g. "madvise", or "unknown"."""
    try:
        text = pathlib.Path("/sys/kernel/mm/transparent_hugepage/enabled").read_text()
    except OSError:
        return "unknown"
    return text[text.find("[") + 1:text.find("]")] if "[" in text else text.strip()


def thread_scalings(calls: dict[str, tuple[Callable[..., object], Sequence[bytes]]], count: int = 4,
                    repeat: int = 3) -> dict[str, float]:
    """For each name, the throughput of `count` calls of `func(*args)` split over a pool of two
    threads, as a multiple of the same calls made one after the other on one thread. All of
    them are timed in the same rounds, so that each meets the same spells of load."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        list(pool.map(lambda _: None, range(2)))  # start both threads before measuring
        contenders: dict[str, Callable[[], object]] = {}
        for name, (func, args) in calls.items():
            def one_call(_: int, func=func, args=args) -> None:
                func(*args)

            contenders[name + " one"] = lambda one_call=one_call: [one_call(i) for i in range(count)]
            contenders[name + " two"] = lambda one_call=one_call: list(pool.map(one_call, range(count)))
        best = best_seconds(contenders, repeat=repeat)
    return {name: best[name + " one"] / best[name + " two"] for name in calls}


def thread_scaling(func: Callable[..., object], args: Sequence[bytes], calls: int = 4,
                   repeat: int = 3) -> float:
    """Throughput of `calls` calls of `func(*args)` split over a pool of two threads, as a
    multiple of the same calls made one after the other on one thread."""
    return thread_scalings({"": (func, args)}, count=calls, repeat=repeat)[""]


def pyav_remux(data: bytes, in_format: str) -> bytes:
    """PyAV's in-process remux of `data` into an MP4 held in memory: every stream copied
    packet by packet, nothing decoded (the muxer's defaults, `moov` after `mdat`)."""
    out = io.BytesIO()
    with av.open(io.BytesIO(data), format=in_format) as src, av.open(out, "w", format="mp4") as dst:
        streams = {s.index: dst.add_stream_from_template(s) for s in src.streams}
        for packet in src.demux():
            if packet.dts is None:  # the demuxer's end-of-stream marker
                continue
            packet.stream = streams[packet.stream.index]
            dst.mux(packet)
    return out.getvalue()


def peak_extra_memory(call: str, paths: Sequence[pathlib.Path]) -> int:
    """Bytes of resident memory that one call adds on top of the loaded inputs, measured in a
    fresh interpreter (high-water mark of resident memory after the call minus before it).
    `call` is an expression over `_plexo` and `inputs`, the list of the files' bytes."""
    script = f"""
import _plexo, json, os
inputs = [open(p, 'rb').read() for p in {[str(p) for p in paths]!r}]
report = os.dup(1)
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the module's own diagnostic lines
def hwm():
    for line in open('/proc/self/status'):
        if line.startswith('VmHWM:'):
            return int(line.split()[1]) * 1024
before = hwm()
out = {call}
os.write(report, json.dumps({{'before': before, 'after': hwm()}}).encode())
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    numbers = json.loads(result.stdout)
    return numbers["after"] - numbers["before"]


@contextlib.contextmanager
def native_stdout_silenced() -> Iterator[None]:
    """Sends what native code writes to the process's standard output (the demultiplexer's
    diagnostic lines) to /dev/null, while Python's `print` still reaches the terminal."""
    sys.stdout.flush()
    saved = os.dup(1)
    real_stdout = sys.stdout
    sys.stdout = io.TextIOWrapper(os.fdopen(os.dup(saved), "wb"), encoding=real_stdout.encoding,
                                  errors="replace", line_buffering=True)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    try:
        yield
    finally:
        _libc.fflush(None)  # what native code still buffers goes to /dev/null too
        sys.stdout.flush()
        sys.stdout.close()
        os.dup2(saved, 1)
        os.close(saved)
        sys.stdout = real_stdout


