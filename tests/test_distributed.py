"""The multi-machine recipes on local clusters of two worker processes: Dask
(examples/distributed_convert.py) and Ray (examples/ray_convert.py). Deselected by default
(marker `distributed`); CI runs them with `pytest -m distributed`."""
import os
import pathlib
import sys

import pytest

import _plexo
from conftest import FIXTURES, IN_CI

pytestmark = pytest.mark.distributed
sys.path.insert(0, str(pathlib.Path(__file__).parent.parent / "examples"))


@pytest.fixture(scope="module")
def client():
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        if IN_CI:
            pytest.fail('dask distributed is required in CI (pip install "dask[distributed]")')
        pytest.skip('dask distributed not installed (pip install "dask[distributed]")')
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.wait_for_workers(2)
        yield client


def test_workers_convert_every_file(client, tmp_path):
    from distributed_convert import convert_on_cluster

    refused = {"ts_cut_1000.ts", "ts_mpeg2_mp2.ts"}
    sources = sorted(str(p) for p in FIXTURES.glob("ts_*.ts") if p.name not in refused)
    records = convert_on_cluster(client, sources, str(tmp_path))
    assert len(client.scheduler_info()["workers"]) == 2
    assert [record["source"] for record in records] == sources
    for record in records:
        target = tmp_path / (pathlib.Path(record["source"]).stem + ".mp4")
        expected = _plexo._convert_ts_to_mp4(pathlib.Path(record["source"]).read_bytes(),
                                             False, False, all_audio=True)  # every audio stream a track
        assert record["ok"] and record["error"] is None and record["target"] == str(target)
        assert target.read_bytes() == expected and record["size"] == len(expected)
        assert record["probe"]["format"] == "mp4" and record["probe"]["tracks"]


def test_a_bad_file_is_a_record_and_the_others_go_on(client, tmp_path):
    from distributed_convert import convert_on_cluster

    bad = tmp_path / "bad.ts"
    bad.write_bytes(b"not a transport stream")
    good = str(FIXTURES / "ts_bframes.ts")
    out = tmp_path / "out"
    records = convert_on_cluster(client, [str(bad), good], str(out))
    assert [record["ok"] for record in records] == [False, True]
    assert records[0]["error"] == f"{bad}: not a transport stream (No valid TS sync byte found)"
    assert sorted(p.name for p in out.iterdir()) == ["ts_bframes.mp4"]


@pytest.fixture(scope="module")
def ray_cluster():
    try:
        import ray
    except ImportError:
        if IN_CI:
            pytest.fail('ray is required in CI (pip install "ray")')
        pytest.skip('ray not installed (pip install "ray")')
    examples = str(pathlib.Path(__file__).parent.parent / "examples")
    path = os.pathsep.join(filter(None, [examples, os.environ.get("PYTHONPATH")]))
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
             runtime_env={"env_vars": {"PYTHONPATH": path}})
    try:
        yield ray
    finally:
        ray.shutdown()


def test_ray_tasks_give_a_record_per_file(ray_cluster, tmp_path):
    from ray_convert import BUFFERS, convert_on_ray, memory_for

    bad = tmp_path / "bad.ts"
    bad.write_bytes(b"not a transport stream")
    sources = [str(FIXTURES / "ts_bframes.ts"), str(bad), str(FIXTURES / "ts_hevc_bframes.ts")]
    records = convert_on_ray(sources, str(tmp_path / "out"))
    assert [record["source"] for record in records] == sources
    assert [record["ok"] for record in records] == [True, False, True]
    assert records[1]["error"] == f"{bad}: not a transport stream (No valid TS sync byte found)"
    for record in (records[0], records[2]):
        expected = _plexo._convert_ts_to_mp4(pathlib.Path(record["source"]).read_bytes(),
                                             False, False, all_audio=True)  # every audio stream a track
        assert pathlib.Path(record["target"]).read_bytes() == expected
        assert record["probe"]["tracks"][0]["kind"] == "video"
    size = (FIXTURES / "ts_bframes.ts").stat().st_size
    assert BUFFERS < memory_for(sources[0]) < BUFFERS + size
    assert memory_for(str(tmp_path / "absent.ts")) == BUFFERS
