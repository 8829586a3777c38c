"""Real clients (ffprobe, ffmpeg) as judges of what plexo writes."""
from __future__ import annotations

import json
import os
import subprocess
import tempfile


def _with_file(data: bytes, suffix: str, func):
    with tempfile.NamedTemporaryFile(suffix=suffix, delete=False) as handle:
        handle.write(data)
        path = handle.name
    try:
        return func(path)
    finally:
        os.unlink(path)


def run(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run(list(args), capture_output=True, text=True, check=False)


def probe_errors(data: bytes, suffix: str = ".mp4") -> str:
    """What ``ffprobe -v error`` prints about a file (empty when it is clean)."""
    result = _with_file(data, suffix, lambda p: run("ffprobe", "-v", "error", p))
    return (result.stderr + result.stdout).strip()


def decode_errors(data: bytes, suffix: str = ".mp4", *inputs: str) -> str:
    """What ``ffmpeg -v error -i X -f null -`` prints (empty when every frame decodes)."""
    result = _with_file(data, suffix,
                        lambda p: run("ffmpeg", "-nostdin", "-v", "error", *inputs, "-i", p, "-f", "null", "-"))
    return (result.stderr + result.stdout).strip()


def probe(data: bytes, suffix: str = ".mp4", *args: str) -> dict:
    """ffprobe's JSON for the file with the given -show_* options."""
    def call(path):
        result = run("ffprobe", "-v", "error", "-of", "json", *args, path)
        assert result.returncode == 0, result.stderr
        return json.loads(result.stdout)
    return _with_file(data, suffix, call)


def streams(data: bytes, suffix: str = ".mp4") -> list[dict]:
    return probe(data, suffix, "-show_streams")["streams"]


def packets(data: bytes, stream: str, suffix: str = ".mp4") -> list[dict]:
    """Packets of one stream ("v:0", "a:0") with pts, dts, duration, size, flags and hash."""
    return probe(data, suffix, "-select_streams", stream, "-show_packets", "-show_data_hash", "MD5")["packets"]


def frames(data: bytes, stream: str, suffix: str = ".mp4") -> list[dict]:
    return probe(data, suffix, "-select_streams", stream, "-show_frames")["frames"]


def framemd5(data: bytes, stream: str, suffix: str = ".mp4") -> list[str]:
    """Checksums of every decoded frame of one stream ("0:v:0", "0:a:0"), in order; the
    timestamp columns are left out so that files with different time bases compare."""
    def call(path):
        result = run("ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", stream, "-f", "framemd5", "-")
        assert result.returncode == 0, result.stderr
        rows = [line for line in result.stdout.splitlines() if line and not line.startswith("#")]
        return [row.split(",")[-1].strip() for row in rows]
    return _with_file(data, suffix, call)
