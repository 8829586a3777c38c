"""Converting many transport streams on a Dask cluster: each worker converts one file with
plexo.convert_many and hands back its record (source, target, ok, error, size and what the MP4
holds), so only paths and records cross the network and a file that fails is a record, not
an exception ending the batch.

    python examples/distributed_convert.py tcp://scheduler:8786 out/ recordings/*.ts

The inputs and the output folder must be reachable under the same paths from every worker
(a shared file system or mount).
"""
from __future__ import annotations

import sys
from typing import Any, List

import plexo


def convert_one(source: str, out_dir: str) -> plexo.ConversionRecord:
    """Runs on a worker: the record of converting ``source`` into ``out_dir``."""
    return plexo.convert_many([source], out_dir)[0]


def convert_on_cluster(client: Any, sources: List[str],
                       out_dir: str) -> List[plexo.ConversionRecord]:
    """Maps convert_one over the sources; returns their records in the order given."""
    futures = client.map(convert_one, sources, out_dir=out_dir, pure=False)
    records: List[plexo.ConversionRecord] = client.gather(futures)
    return records


def report(records: List[plexo.ConversionRecord]) -> int:
    """Prints each output's size, or its error on standard error; the exit status."""
    for record in records:
        if record["ok"]:
            print(f"{record['target']}: {record['size']} bytes")
        else:
            print(f"failed: {record['error']}", file=sys.stderr)
    return 1 if any(not record["ok"] for record in records) else 0


if __name__ == "__main__":
    from distributed import Client

    scheduler, out_dir, *sources = sys.argv[1:]
    with Client(scheduler) as client:
        sys.exit(report(convert_on_cluster(client, sources, out_dir)))
