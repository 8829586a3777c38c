"""``plexo hls``: a transport stream as an HLS fMP4 rendition, from a file or a live feed on
standard input, judged by ffprobe and ffmpeg reading the playlist."""
from __future__ import annotations

import pathlib
import resource
import signal
import subprocess
import sys
import time

import pytest

import builders as b
import media_tools as mt
import plexo

CLI = [sys.executable, "-m", "plexo", "hls"]


def rendition(folder: pathlib.Path) -> tuple[list[str], bytes]:
    """The playlist's lines and init + every segment it lists, joined."""
    lines = (folder / "index.m3u8").read_text().splitlines()
    names = ["init.mp4"] + [line for line in lines if line and not line.startswith("#")]
    return lines, b"".join((folder / name).read_bytes() for name in names)


def decoded(path: str, stream: str) -> list[str]:
    result = mt.run("ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", stream, "-f", "framemd5", "-")
    assert result.returncode == 0 and result.stderr == "", result.stderr
    return [row.split(",")[-1].strip() for row in result.stdout.splitlines() if row and row[0] != "#"]


@pytest.mark.parametrize("name", ["ts_bframes.ts", "ts_audio_leads.ts", "ts_pts_wrap.ts", "ts_hevc_bframes.ts"])
def test_a_file_becomes_a_playlist_players_read(tmp_path, fixture_bytes, ffprobe, ffmpeg, name):
    source = tmp_path / name
    source.write_bytes(fixture_bytes(name))
    done = subprocess.run(CLI + ["--segment-duration", "0.5", str(source), str(tmp_path / "out")],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    lines, joined = rendition(tmp_path / "out")
    assert lines[:2] == ["#EXTM3U", "#EXT-X-VERSION:7"] and lines[-1] == "#EXT-X-ENDLIST"
    assert "#EXT-X-PLAYLIST-TYPE:VOD" in lines and '#EXT-X-MAP:URI="init.mp4"' in lines
    extinf = [float(line[8:-1]) for line in lines if line.startswith("#EXTINF:")]
    target = int(next(line for line in lines if line.startswith("#EXT-X-TARGETDURATION:")).split(":")[1])
    assert len(extinf) == len(b.track_fragments(joined)) > 1 and max(round(d) for d in extinf) <= target
    # the segments are the one-shot conversion, and players read the playlist cleanly
    assert joined == plexo.convert_ts_to_fmp4(source.read_bytes(), fragment_duration=0.5, diagnostics=False)
    playlist = str(tmp_path / "out" / "index.m3u8")
    assert mt.run("ffprobe", "-v", "error", playlist).stderr == ""
    for stream in ("0:v:0", "0:a:0"):
        assert decoded(playlist, stream) == mt.framemd5(source.read_bytes(), stream, ".ts")
    assert sum(extinf) == pytest.approx(mt.duration(joined) - min(
        mt.frame_times(mt.frames(joined, "v:0"))[:1]), abs=0.05)


def test_a_live_feed_is_published_segment_by_segment(tmp_path, fixture_bytes, ffprobe):
    source = fixture_bytes("ts_bframes.ts")
    out = tmp_path / "live"
    feed = subprocess.Popen(CLI + ["--segment-duration", "0.5", "-", str(out)], stdin=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    feed.stdin.write(source[:len(source) * 3 // 4])
    feed.stdin.flush()
    deadline = time.monotonic() + 30
    while not (out / "index.m3u8").exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    lines, _ = rendition(out)  # a segment is out while the stream still runs
    assert "#EXT-X-PLAYLIST-TYPE:EVENT" in lines and "#EXT-X-ENDLIST" not in lines
    assert mt.run("ffprobe", "-v", "error", str(out / "index.m3u8")).stderr == ""
    feed.stdin.write(source[len(source) * 3 // 4:])
    feed.stdin.close()
    assert feed.wait(30) == 0, feed.stderr.read()
    lines, joined = rendition(out)
    assert lines[-1] == "#EXT-X-ENDLIST" and "#EXT-X-PLAYLIST-TYPE:EVENT" in lines
    assert joined == plexo.convert_ts_to_fmp4(source, fragment_duration=0.5, diagnostics=False)
    assert not [p.name for p in out.iterdir() if p.name.startswith(".")]  # no temporary left


@pytest.mark.parametrize("data, message", [
    (b.transport_stream([(b.AUD + b.nal(b.idr()), 90000, None)] * 3), "No H.264 parameter sets found"),
    (b"", "No valid TS sync byte found"),
])
def test_an_unusable_stream_fails_with_the_reason(tmp_path, data, message):
    done = subprocess.run(CLI + ["-", str(tmp_path / "out")], input=data, capture_output=True)
    assert done.returncode == 1 and done.stderr.decode().strip() == f"plexo: -: {message}"


def test_segment_duration_must_be_positive(tmp_path):
    done = subprocess.run(CLI + ["--segment-duration", "0", "-", str(tmp_path)], capture_output=True, text=True)
    assert done.returncode == 2 and "must be a positive number of seconds" in done.stderr


def test_a_failed_write_names_the_file_it_was_writing(tmp_path, fixture_bytes):
    def small_disk():  # writes past 20 kB fail as on a full disk
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (20_000, 20_000))
    done = subprocess.run(CLI + ["-", str(tmp_path / "out")], input=fixture_bytes("ts_bframes.ts"),
                          capture_output=True, preexec_fn=small_disk)
    assert done.returncode == 1
    assert done.stderr.decode() == f"plexo: {tmp_path / 'out' / 'seg_00000.m4s'}: File too large\n"
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["init.mp4"]


def test_a_folder_another_run_writes_into_is_refused(tmp_path, fixture_bytes):
    """Two runs into one folder would mix their segments: the second is refused while the
    first holds the folder, and the first's rendition stays whole."""
    source = fixture_bytes("ts_bframes.ts")
    out = tmp_path / "live"
    first = subprocess.Popen(CLI + ["--segment-duration", "0.5", "-", str(out)], stdin=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    first.stdin.write(source[:len(source) // 2])
    first.stdin.flush()
    deadline = time.monotonic() + 30
    while not (out / "index.m3u8").exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    second = subprocess.run(CLI + ["-y", "--segment-duration", "2", "-", str(out)], input=source,
                            capture_output=True)
    assert second.returncode == 1
    assert second.stderr.decode() == f"plexo: {out}: in use by another 'plexo hls' run; give each run a folder of its own\n"
    first.stdin.write(source[len(source) // 2:])
    first.stdin.close()
    assert first.wait(30) == 0, first.stderr.read()
    _, joined = rendition(out)
    assert joined == plexo.convert_ts_to_fmp4(source, fragment_duration=0.5, diagnostics=False)


def test_a_folder_holding_a_rendition_is_replaced_only_with_y(tmp_path, fixture_bytes):
    source = tmp_path / "in.ts"
    source.write_bytes(fixture_bytes("ts_bframes.ts"))
    out = tmp_path / "out"
    assert subprocess.run(CLI + ["--segment-duration", "0.5", str(source), str(out)]).returncode == 0
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    assert len([name for name in before if name.startswith("seg_")]) > 2
    again = subprocess.run(CLI + ["--segment-duration", "2", str(source), str(out)], capture_output=True, text=True)
    assert again.returncode == 1 and again.stderr.count("\n") == 1
    assert again.stderr.startswith(f"plexo: {out} holds a rendition already (index.m3u8, init.mp4, ...; ")
    assert again.stderr.endswith("pass -y/--overwrite to replace it\n")
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before
    # With -y: fewer, longer segments, and none of the old ones left behind.
    assert subprocess.run(CLI + ["-y", "--segment-duration", "2", str(source), str(out)]).returncode == 0
    lines, joined = rendition(out)
    listed = [line for line in lines if line and not line.startswith("#")]
    assert sorted(p.name for p in out.iterdir()) == sorted(["index.m3u8", "init.mp4", *listed])
    assert len(listed) < len(before) - 2
    assert joined == plexo.convert_ts_to_fmp4(source.read_bytes(), fragment_duration=2, diagnostics=False)
