"""Shared measuring for the benchmarks: throughput against a plain memory copy of the same
bytes measured in the same run, and peak extra memory of one call in a fresh process."""
from __future__ import annotations

import json
import os
import pathlib
import statistics
import subprocess
import sys
import time

DATA = pathlib.Path(__file__).parent / "data"


def best_seconds(func, *args, repeat: int = 5) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        func(*args)
        times.append(time.perf_counter() - start)
    return min(times)


def throughput(func, *args, repeat: int = 5) -> float:
    """MB/s over the total input size (best of `repeat` runs)."""
    size = sum(len(a) for a in args)
    return size / best_seconds(func, *args, repeat=repeat) / 1e6


def copy_floor(data: bytes, repeat: int = 5) -> float:
    """MB/s of bytes(bytearray(data)): the floor every operation is compared with."""
    return throughput(lambda d: bytes(bytearray(d)), data, repeat=repeat)


def peak_extra_memory(call: str, path: pathlib.Path) -> int:
    """Bytes of resident memory that one call adds on top of the loaded input, measured in a
    fresh interpreter. `call` is an expression over `_plexo` and `data`."""
    script = f"""
import _plexo, json, resource, sys
data = open({str(path)!r}, 'rb').read()
def hwm():
    for line in open('/proc/self/status'):
        if line.startswith('VmHWM:'):
            return int(line.split()[1]) * 1024
before = hwm()
out = {call}
print(json.dumps({{'before': before, 'after': hwm()}}))
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    numbers = json.loads(result.stdout.strip().splitlines()[-1])
    return numbers["after"] - numbers["before"]


def ffmpeg_copy_seconds(src: pathlib.Path, fmt: str, *extra: str,
                        more_inputs: tuple[pathlib.Path, ...] = ()) -> float:
    """Seconds ffmpeg takes to remux `src` (and `more_inputs`, every stream of each) with
    -c copy into `fmt` (written to /dev/null)."""
    inputs = [arg for path in (src, *more_inputs) for arg in ("-i", str(path))]
    maps = [arg for i in range(len(more_inputs) + 1) for arg in ("-map", str(i))] if more_inputs else []
    start = time.perf_counter()
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", *inputs, *maps, "-c", "copy", *extra,
                    "-f", fmt, "/dev/null"], check=True)
    return time.perf_counter() - start


def report(name: str, size: int, rows: dict[str, float]) -> None:
    floor = rows["copy floor"]
    print(f"{name}: input {size / 1e6:.1f} MB")
    for label, mbps in rows.items():
        print(f"  {label:<28} {mbps:9.1f} MB/s   {mbps / floor:5.2f}x copy floor")
