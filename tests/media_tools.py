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


def copied(data: bytes, suffix: str = ".ts") -> bytes:
    """What ``ffmpeg -c copy`` makes of a file as an MP4: the packets a real client keeps."""
    with tempfile.TemporaryDirectory() as directory:
        source, target = os.path.join(directory, "in" + suffix), os.path.join(directory, "out.mp4")
        with open(source, "wb") as handle:
            handle.write(data)
        result = run("ffmpeg", "-nostdin", "-v", "error", "-i", source, "-map", "0", "-c", "copy", target)
        assert result.returncode == 0, result.stderr
        with open(target, "rb") as handle:
            return handle.read()


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


# ---- judging a conversion against its source ---------------------------------------------

def frame_times(frames: list[dict]) -> list[float]:
    return [float(f.get("pts_time", f.get("best_effort_timestamp_time"))) for f in frames]


def has_stream(data: bytes, kind: str, suffix: str = ".mp4") -> bool:
    return any(s["codec_type"] == kind for s in streams(data, suffix))


def differences(source: bytes, source_suffix: str, out: bytes, out_suffix: str = ".mp4",
                time_tolerance: float = 0.002, offset_tolerance: float = 0.001) -> list[str]:
    """What a player would see differently in `out` than in `source` (empty when nothing):
    probe or decode errors, decoded frame counts and checksums per stream, each frame's time
    relative to its stream's first, the audio's start against the video's, and key frames."""
    found = []
    for label, errors in (("probe", probe_errors(out, out_suffix)), ("decode", decode_errors(out, out_suffix))):
        if errors:
            found.append(f"{label} errors: {errors[:300]}")
    firsts = {}
    for kind, select, md5_select in (("video", "v:0", "0:v:0"), ("audio", "a:0", "0:a:0")):
        if not has_stream(source, kind, source_suffix):
            continue
        if not has_stream(out, kind, out_suffix):
            found.append(f"{kind}: missing")
            continue
        src, got = frames(source, select, source_suffix), frames(out, select, out_suffix)
        if len(src) != len(got):
            found.append(f"{kind}: {len(got)} frames, source has {len(src)}")
        if framemd5(source, md5_select, source_suffix) != framemd5(out, md5_select, out_suffix):
            found.append(f"{kind}: decoded frames differ")
        src_t, got_t = frame_times(src), frame_times(got)
        firsts[kind] = (src_t[0], got_t[0])
        worst = max((abs((g - got_t[0]) - (s - src_t[0])) for s, g in zip(src_t, got_t)), default=0)
        if worst > time_tolerance:
            found.append(f"{kind}: a frame is {worst * 1000:.1f} ms away from its source time")
        src_keys = [i for i, f in enumerate(src) if f["key_frame"] == 1]
        got_keys = [i for i, f in enumerate(got) if f["key_frame"] == 1]
        if src_keys != got_keys:
            found.append(f"{kind}: key frames {got_keys[:10]}..., source {src_keys[:10]}...")
    if len(firsts) == 2:
        src_offset = firsts["audio"][0] - firsts["video"][0]
        got_offset = firsts["audio"][1] - firsts["video"][1]
        if abs(src_offset - got_offset) > offset_tolerance:
            found.append(f"audio starts {got_offset * 1000:.1f} ms after the video, source {src_offset * 1000:.1f} ms")
    return found


def duration(data: bytes, suffix: str = ".mp4") -> float:
    """How long a player presents the file, seconds: to the latest frame's end over all
    streams, from the movie's time 0 for an MP4 and from the earliest frame for a transport
    stream (which has no time 0 of its own)."""
    start, end = (0.0, None) if suffix == ".mp4" else (None, None)
    for select in ("v:0", "a:0"):
        try:
            got = frames(data, select, suffix)
        except AssertionError:
            continue
        for f in got:
            t = float(f.get("pts_time", f.get("best_effort_timestamp_time")))
            d = float(f.get("duration_time", f.get("pkt_duration_time", 0)))
            start = t if start is None else min(start, t)
            end = t + d if end is None else max(end, t + d)
    return 0.0 if start is None else end - start
