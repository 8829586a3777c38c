"""How conversions scale over threads: convert_ts_to_mp4 on the same 60-second 1080p stream
from 1, 2 and (when there are more cores) 4 threads of a thread pool, each thread converting
its own copy. Reported as total MB/s, as a ratio to the copy floor of the same run, and as the
speed-up over one thread."""
from __future__ import annotations

import concurrent.futures
import os
import time

import plexo
from bench_convert_ts import SOURCE, make_source
from common import copy_floor


def pool_throughput(data: bytes, threads: int, rounds: int = 2) -> float:
    """MB/s of input converted by `threads` threads, each converting `rounds` times."""
    inputs = [bytes(bytearray(data)) for _ in range(threads)]  # one private copy per thread
    with concurrent.futures.ThreadPoolExecutor(max_workers=threads) as pool:
        list(pool.map(lambda d: plexo.convert_ts_to_mp4(d, diagnostics=False), inputs))  # warm up
        best = float("inf")
        for _ in range(3):
            start = time.perf_counter()
            list(pool.map(lambda d: [plexo.convert_ts_to_mp4(d, diagnostics=False)
                                     for _ in range(rounds)], inputs))
            best = min(best, time.perf_counter() - start)
    return len(data) * threads * rounds / best / 1e6


def main() -> None:
    make_source()
    data = SOURCE.read_bytes()
    cores = os.cpu_count() or 1
    floor = copy_floor(data)
    print(f"convert_ts_to_mp4 over threads: {len(data) / 1e6:.1f} MB input, {cores} cores")
    print(f"  {'copy floor (1 thread)':<24} {floor:10.1f} MB/s")
    single = None
    for threads in sorted({1, 2, min(4, cores)}):
        rate = pool_throughput(data, threads)
        single = single or rate
        print(f"  {f'{threads} thread(s)':<24} {rate:10.1f} MB/s  {rate / floor:6.3f}x copy  "
              f"{rate / single:5.2f}x one thread")


if __name__ == "__main__":
    main()
