import os
import pathlib
import shutil
import subprocess

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


@pytest.fixture(scope="session")
def fixture_bytes():
    """Reads a committed real-media fixture by name."""
    def read(name: str) -> bytes:
        path = FIXTURES / name
        if not path.exists():
            pytest.fail(f"missing fixture {name}; run tests/fixtures/make_fixtures.sh")
        return path.read_bytes()
    return read


def run_tool(*args: str, input: bytes | None = None) -> subprocess.CompletedProcess:
    return subprocess.run(list(args), input=input, capture_output=True, check=False)
