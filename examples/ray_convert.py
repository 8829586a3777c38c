"""Converting many transport streams on a Ray cluster: each task converts one file with
plexo.convert_many and hands back its record (source, target, ok, error, size and what the MP4
holds), so only paths and records cross the network and a file that fails is a record, not
an exception ending the batch.

    python examples/ray_convert.py ray://head:10001 out/ recordings/*.ts

Each task asks Ray for the memory plexo's conversion takes at most (``memory_for``), so a
node runs no more conversions at once than its memory holds. The inputs and the output folder
must be reachable under the same paths from every node (a shared file system or mount).
"""
from __future__ import annotations

import os
import sys
from typing import Any, List

import plexo

#: The buffers of a file-to-file conversion (windows, the output's pages, the interpreter).
BUFFERS = 64 << 20
#: The tables a conversion holds: about 16 bytes per sample, twice that for safety, and at
#: most one sample per transport packet (188 bytes).
TABLE_BYTES_PER_INPUT_BYTE = 32 / 188


def memory_for(path: str) -> int:
    """The memory (bytes) to reserve for converting the file at ``path`` (the buffers alone
    when the file cannot be seen from here)."""
    try:
        return BUFFERS + int(os.path.getsize(path) * TABLE_BYTES_PER_INPUT_BYTE)
    except OSError:
        return BUFFERS


def convert_one(source: str, out_dir: str) -> plexo.ConversionRecord:
    """Runs as a Ray task: the record of converting ``source`` into ``out_dir``."""
    return plexo.convert_many([source], out_dir)[0]


def convert_on_ray(sources: List[str], out_dir: str) -> List[plexo.ConversionRecord]:
    """One task per source, each reserving its memory; returns the records in order."""
    import ray

    task: Any = ray.remote(num_cpus=1)(convert_one)
    refs = [task.options(memory=memory_for(source)).remote(source, out_dir)
            for source in sources]
    records: List[plexo.ConversionRecord] = ray.get(refs)
    return records


if __name__ == "__main__":
    import ray
    from distributed_convert import report  # beside this file

    address, out_dir, *sources = sys.argv[1:]
    ray.init(address=address)
    sys.exit(report(convert_on_ray(sources, out_dir)))
