import functools
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import pytest

FIXTURES = pathlib.Path(__file__).parent / "fixtures"
IN_CI = bool(os.environ.get("CI"))


def _tool(name: str) -> str:
    path = shutil.which(name)
    if path is None:
        if IN_CI:
            pytest.fail(f"{name} is required in CI but was not found on PATH")
        pytest.skip(f"{name} not installed (apt-get install ffmpeg)")
    return path


@pytest.fixture(scope="session")
def ffprobe() -> str:
    return _tool("ffprobe")


@pytest.fixture(scope="session")
def ffmpeg() -> str:
    return _tool("ffmpeg")


@functools.lru_cache(maxsize=None)
def read_fixture(name: str) -> bytes:
    """A committed real-media fixture by name (a path under tests/fixtures), read once."""
    path = FIXTURES / name
    if not path.exists():
        pytest.fail(f"missing fixture {name}; run tests/fixtures/make_fixtures.sh")
    return path.read_bytes()


def _progressive(source: bytes) -> bytes:
    import plexo
    return plexo.convert_ts_to_mp4(source, diagnostics=False)


def _fragmented(source: bytes) -> bytes:
    import plexo
    return plexo.convert_ts_to_fmp4(source, diagnostics=False)


def _segmented(source: bytes) -> bytes:
    import plexo
    segmenter = plexo.TsSegmenter()
    fragments = segmenter.push(source) + segmenter.flush()
    return segmenter.init + b"".join(fragments)


# The three ways a transport stream becomes MP4, each with its default fragment duration.
OUTPUT_KINDS = {"progressive": _progressive, "fmp4": _fragmented, "segmenter": _segmented}


@functools.lru_cache(maxsize=None)
def converted_fixture(kind: str, name: str) -> bytes:
    """A transport-stream fixture as one OUTPUT_KINDS writes it (the segmenter's initialisation
    segment and fragments joined), converted once."""
    return OUTPUT_KINDS[kind](read_fixture(name))


@pytest.fixture(scope="session")
def fixture_bytes():
    """read_fixture, for tests that take it as a fixture."""
    return read_fixture


def run_tool(*args: str, input: bytes | None = None) -> subprocess.CompletedProcess:
    return subprocess.run(list(args), input=input, capture_output=True, check=False)


# Runs one call in a fresh interpreter: the high-water mark of its memory before and after
# the call, the length of the result and the best of up to three timings.
_PEAK_CHILD = r"""
import json, resource, sys, time
import _plexo
name, paths = sys.argv[1], sys.argv[2:]
inputs = [open(p, "rb").read() for p in paths]
if name == "process_segment":
    processor = _plexo.FragmentedMP4Processor()
    processor.set_init_segment(inputs[0])
    call = lambda: processor.process_segment(inputs[1])
elif name.startswith("_TsSegmenter"):
    # A live client: the stream pushed in 188x1024-byte pieces, each fragment let go once
    # returned; the result's length is the count of fragments.
    def call():
        segmenter, count = _plexo._TsSegmenter(float(name.partition(":")[2] or 2.0)), 0
        for at in range(0, len(inputs[0]), 188 * 1024):
            count += len(segmenter.push(inputs[0][at:at + 188 * 1024]))
        return range(count + len(segmenter.flush()))
elif name == "_convert_ts_to_fmp4":  # the whole stream at once, 2 s fragments
    call = lambda: _plexo._convert_ts_to_fmp4(inputs[0], 2.0, False)
else:
    call = lambda: getattr(_plexo, name)(*inputs)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
start = time.perf_counter()
try:
    out, refused = call(), None
except ValueError as error:
    out, refused = b"", str(error)
best = time.perf_counter() - start
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
for _ in range(2 if best < 1 and refused is None else 0):
    start = time.perf_counter()
    call()
    best = min(best, time.perf_counter() - start)
print(json.dumps({"grown": after - before, "out": len(out), "seconds": best, "refused": refused}))
"""


def peak_memory(name: str, inputs: list[bytes]) -> dict:
    """`_plexo.<name>(*inputs)` (for "process_segment": a fresh processor given inputs[0] as
    its initialisation segment, then inputs[1]; for "_TsSegmenter[:duration]": a segmenter of
    2 s fragments, or of the duration given, pushed inputs[0] piece by piece) run in a fresh interpreter: how far the call raised the
    memory's high-water mark ("grown", bytes), the result's length ("out", 0 when refused;
    the segmenter's: its count of fragments), the best of up to three timings ("seconds") and the message of a ValueError
    ("refused", else None)."""
    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for i, data in enumerate(inputs):
            path = pathlib.Path(folder) / f"input{i}"
            path.write_bytes(data)
            paths.append(str(path))
        # Through a shell that forks the interpreter: a process exec'd straight from this one
        # would inherit this process's high-water mark as its own.
        run = subprocess.run(["/bin/sh", "-c", '"$@"; exit $?', "sh", sys.executable, "-c",
                              _PEAK_CHILD, name, *paths], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr[-2000:]
    return json.loads(run.stdout.strip().splitlines()[-1])


def scaling(call, make, count: int, factor: int = 4) -> float:
    """How many times longer `call(make(count * factor))` takes than `call(make(count))`,
    each the best of three runs taken in alternation. Work linear in its input gives about
    `factor`; work quadratic in it, `factor` squared. A ratio within one run is the same on a
    fast machine, a loaded one and under the sanitizers."""
    inputs = make(count), make(count * factor)
    best = [float("inf"), float("inf")]
    for _ in range(3):
        for i, data in enumerate(inputs):
            start = time.perf_counter()
            call(data)
            best[i] = min(best[i], time.perf_counter() - start)
    return best[1] / max(best[0], 1e-6)
