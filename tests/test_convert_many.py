"""plexo.convert_many: one record per file, in the order given, whatever becomes of the
others; a failing file is a record, never an exception ending the batch."""
import threading

import pytest

import _plexo
import plexo
from conftest import FIXTURES

TS_BYTES = (FIXTURES / "ts_bframes.ts").read_bytes()
CONVERTED = _plexo._convert_ts_to_mp4(TS_BYTES, False, False)


@pytest.fixture
def sources(tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    paths = []
    for name, data in [("a.ts", TS_BYTES), ("bad.ts", b"\x47" + bytes(400)),
                       ("picture.ts", b"\x89PNG\r\n\x1a\n" + bytes(64)), ("c.ts", TS_BYTES)]:
        (folder / name).write_bytes(data)
        paths.append(folder / name)
    return paths


@pytest.mark.parametrize("jobs", [1, 3])
def test_every_file_gives_a_record_in_order(sources, tmp_path, jobs):
    seen = []
    records = plexo.convert_many(sources, tmp_path / "out", jobs=jobs, on_record=seen.append)
    assert [record["source"] for record in records] == [str(p) for p in sources]
    assert sorted(map(id, seen)) == sorted(map(id, records))
    assert [record["ok"] for record in records] == [True, False, False, True]
    for record in records:
        if record["ok"]:
            assert record["error"] is None and record["size"] == len(CONVERTED)
            with open(record["target"], "rb") as written:
                assert written.read() == CONVERTED
            assert record["probe"] == plexo.probe(CONVERTED)
        else:
            assert record["error"].startswith(f"{record['source']}: ")
            assert record["size"] == 0 and record["probe"] is None
    assert records[2]["error"].endswith("a PNG image, not a transport stream")
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.mp4", "c.mp4"]


def test_existing_outputs_fail_or_are_kept(sources, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    (out / "a.mp4").write_bytes(b"keep")
    first = plexo.convert_many(sources[:1], out, probe=False)[0]
    assert not first["ok"] and "exists" in first["error"] and not first["skipped"]
    kept = plexo.convert_many(sources[:1], out, skip_existing=True)[0]
    assert kept["skipped"] and kept["error"] is None and (out / "a.mp4").read_bytes() == b"keep"
    replaced = plexo.convert_many(sources[:1], out, overwrite=True, probe=False)[0]
    assert replaced["ok"] and replaced["probe"] is None
    assert (out / "a.mp4").read_bytes() == CONVERTED


def test_two_sources_with_one_output_name(sources, tmp_path):
    other = tmp_path / "elsewhere"
    other.mkdir()
    (other / "a.ts").write_bytes(TS_BYTES)
    records = plexo.convert_many([sources[0], other / "a.ts"], tmp_path / "out")
    assert records[0]["ok"] and not records[1]["ok"]
    assert "would both be written to" in records[1]["error"]


def test_cancelled_sources_do_not_start(sources, tmp_path):
    cancel = threading.Event()
    cancel.set()
    records = plexo.convert_many(sources, tmp_path / "out", cancel=cancel)
    assert all(record["error"].endswith(": cancelled") for record in records)
    assert list((tmp_path / "out").iterdir()) == []


def test_arguments_that_cannot_run(tmp_path):
    with pytest.raises(ValueError, match="jobs must be at least 1"):
        plexo.convert_many([], tmp_path, jobs=0)
    with pytest.raises(ValueError, match="exclude each other"):
        plexo.convert_many([], tmp_path, overwrite=True, skip_existing=True)
