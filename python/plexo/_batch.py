"""Many transport streams converted at once, each giving a record: one file that cannot be
converted is its record's error, never an exception ending the batch."""
from __future__ import annotations

import concurrent.futures
import os
import pathlib
import threading
from typing import Callable, Dict, Iterable, List, Optional, TypedDict

from . import _core
from ._core import Diagnostics, ProbeResult
from ._files import PathLike, convert_file


class ConversionRecord(TypedDict):
    """What became of one input of :func:`convert_many`."""
    source: str  # the input's path, as given
    target: str  # the MP4's path
    ok: bool  # the MP4 was written
    skipped: bool  # the MP4 existed and was kept (``skip_existing``)
    error: Optional[str]  # one line naming the file, when neither written nor skipped
    size: int  # the bytes written (0 unless ok)
    probe: Optional[ProbeResult]  # what the written MP4 holds (when ok and asked for)


def _record(source: str, target: str) -> ConversionRecord:
    return {"source": source, "target": target, "ok": False, "skipped": False,
            "error": None, "size": 0, "probe": None}


def convert_many(sources: Iterable[PathLike], outdir: PathLike, *, jobs: int = 1,
                 overwrite: bool = False, skip_existing: bool = False, probe: bool = True,
                 diagnostics: Diagnostics = False,
                 on_record: Optional[Callable[[ConversionRecord], None]] = None,
                 cancel: Optional[threading.Event] = None) -> List[ConversionRecord]:
    """Convert every transport stream (or HLS playlist) in ``sources`` to
    ``outdir/<name>.mp4`` with :func:`plexo.convert_file`, ``jobs`` at a time on a thread
    pool; return one record per source, in the order given.

    A source that fails gives a record with ``ok`` False and ``error`` (one line naming it:
    unusable media, a file that cannot be read or written, an output that exists unless
    ``overwrite``, two sources with one output name) and the others go on; nothing is raised
    for a file. ``skip_existing`` keeps an existing output and marks its record ``skipped``.
    ``probe`` adds :func:`plexo.probe` of each written MP4, which reads that file back whole
    (in memory, one file per running job): pass ``probe=False`` for recordings too large for
    that. ``on_record`` is called with each record as it completes (from a worker thread);
    ``cancel``, once set, keeps queued sources from starting (their records say
    ``"cancelled"``). ``outdir`` is created when missing.

    Raises ``ValueError`` for ``jobs`` below 1 or ``overwrite`` with ``skip_existing``, and
    ``OSError`` when ``outdir`` cannot be created.
    """
    if jobs < 1:
        raise ValueError("jobs must be at least 1")
    if overwrite and skip_existing:
        raise ValueError("overwrite and skip_existing exclude each other")
    folder = pathlib.Path(outdir)
    folder.mkdir(parents=True, exist_ok=True)
    records: List[ConversionRecord] = []
    seen: Dict[str, str] = {}
    for source in sources:
        name = os.fspath(source)
        target = str(folder / (pathlib.Path(name).stem + ".mp4"))
        records.append(_record(name, target))
        if target in seen:
            records[-1]["error"] = f"{seen[target]} and {name} would both be written to {target}"
        seen.setdefault(target, name)

    def cancelled() -> None:
        if cancel is not None and cancel.is_set():
            raise InterruptedError("cancelled")

    def run(record: ConversionRecord) -> ConversionRecord:
        try:
            if record["error"] is not None:
                return record
            cancelled()
            if os.path.lexists(record["target"]) and not overwrite:
                if skip_existing and not os.path.isdir(record["target"]):
                    record["skipped"] = True
                else:
                    record["error"] = (f"{record['target']} exists; pass overwrite=True to "
                                       "replace it or skip_existing=True to keep it")
                return record
            record["size"] = convert_file(record["source"], record["target"],
                                          diagnostics=diagnostics)
            record["ok"] = True
            if probe:
                record["probe"] = _core.probe(pathlib.Path(record["target"]).read_bytes())
        except InterruptedError:
            record["error"] = f"{record['source']}: cancelled"
        except (ValueError, OSError) as exc:
            if record["ok"]:
                record["error"] = f"{record['target']}: written, but not probed: {exc}"
            elif isinstance(exc, OSError) and exc.strerror:
                record["error"] = f"{exc.filename or record['source']}: {exc.strerror}"
            else:
                record["error"] = str(exc)
        except MemoryError:
            record["error"] = f"{record['source']}: out of memory"
        finally:
            if on_record is not None:
                on_record(record)
        return record

    if jobs == 1 or len(records) <= 1:
        return [run(record) for record in records]
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        return list(pool.map(run, records))
