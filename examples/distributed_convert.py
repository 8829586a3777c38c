"""Converting many transport streams on a Dask cluster: each worker reads its file, converts it
and writes the MP4, so only paths and sizes cross the network.

    python examples/distributed_convert.py tcp://scheduler:8786 out/ recordings/*.ts

The inputs and the output folder must be reachable under the same paths from every worker
(a shared file system or mount).
"""
from __future__ import annotations

import pathlib
import sys

import plexo


def convert_one(src: str, dst: str) -> int:
    """Runs on a worker: read, convert, write; returns the MP4's size in bytes."""
    return plexo.convert_file(src, dst)


def convert_many(client, sources: list[str], out_dir: str) -> dict[str, int]:
    """Maps convert_one over the sources; returns each output path with its size."""
    targets = [str(pathlib.Path(out_dir) / (pathlib.Path(src).stem + ".mp4")) for src in sources]
    futures = client.map(convert_one, sources, targets, pure=False)
    return dict(zip(targets, client.gather(futures)))


if __name__ == "__main__":
    from distributed import Client

    scheduler, out_dir, *sources = sys.argv[1:]
    pathlib.Path(out_dir).mkdir(parents=True, exist_ok=True)
    with Client(scheduler) as client:
        for path, size in convert_many(client, sources, out_dir).items():
            print(f"{path}: {size} bytes")
