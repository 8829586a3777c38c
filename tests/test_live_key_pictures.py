"""Key pictures as live encoders send them: recovery points instead of IDR pictures (intra
refresh, open-GOP H.264), HEVC open GOPs whose CRA pictures RASL pictures follow, GOPs longer
than a segment and streams without any key picture; the live segmenter's fragments, the HLS
playlist's promises and what the segmenter holds, judged by ffprobe and ffmpeg."""
from __future__ import annotations

import pathlib
import subprocess
import sys
import time

import pytest

import builders as b
import media_tools as mt
import plexo

CLI = [sys.executable, "-m", "plexo", "hls"]
SYNC = 0x00010000  # sample_is_non_sync_sample
LEADING = 0x0C000000  # sample_is_leading


def pushed_in_pieces(source: bytes, piece: int, *args: float) -> tuple[plexo.TsSegmenter, list[bytes], list[bytes]]:
    segmenter = plexo.TsSegmenter(*args)
    during = [f for at in range(0, len(source), piece) for f in segmenter.push(source[at:at + piece])]
    return segmenter, during, segmenter.flush()


def video_samples(fragment: bytes) -> list[tuple[int, int, int, int]]:
    return b.track_fragments(fragment)[0][0][2]


def ffprobe_key_packets(source: bytes) -> int:
    return sum("K" in p["flags"] for p in mt.packets(source, "v:0", ".ts"))


def decodes_every_picture(data: bytes) -> bool:
    """Whether ffmpeg decodes every picture of an MP4's video, without an error."""
    def call(path):
        result = mt.run("ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v:0", "-f", "framemd5", "-")
        return result.stderr == "" and sum(1 for row in result.stdout.splitlines() if row and row[0] != "#")
    return mt._with_file(data, ".mp4", call) == len(video_samples(data[data.find(b"moof") - 4:]))


def playlist_lines(folder: pathlib.Path) -> list[str]:
    return (folder / "index.m3u8").read_text().splitlines()


def segments_of(folder: pathlib.Path) -> list[bytes]:
    return [(folder / line).read_bytes() for line in playlist_lines(folder) if line and not line.startswith("#")]


# ---- recovery points ------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["ts_intra_refresh.ts", "ts_h264_open_gop.ts"])
def test_recovery_points_begin_fragments_while_the_stream_runs(fixture_bytes, ffprobe, ffmpeg, name):
    source = fixture_bytes(name)
    segmenter, during, last = pushed_in_pieces(source, 188 * 16, 1.0)
    # one IDR, then a recovery point each second: fragments come out during the pushes
    assert len(during) == 3 and len(last) == 1
    assert all(not video_samples(f)[0][2] & SYNC for f in during + last)
    joined = segmenter.init + b"".join(during + last)
    assert joined == plexo.convert_ts_to_fmp4(source, fragment_duration=1.0, diagnostics=False)
    # they stay key frames in both files, as the source's packets are; every picture decodes
    assert plexo.probe(source)["tracks"][0]["key_frames"] == ffprobe_key_packets(source) == 4
    mp4 = plexo.convert_ts_to_mp4(source, diagnostics=False)
    assert plexo.probe(mp4)["tracks"][0]["key_frames"] == 4
    assert [p["flags"][0] for p in mt.packets(mp4, "v:0")] == [p["flags"][0] for p in mt.packets(source, "v:0", ".ts")]
    assert mt.framemd5(joined, "0:v:0") == mt.framemd5(source, "0:v:0", ".ts")
    # a segment that begins at a recovery point needs pictures before it
    assert not segmenter.independent


@pytest.mark.parametrize("sei", [b.recovery_point_sei(), b.recovery_point_sei((1, b"\x12\x34"), (5, bytes(40)))],
                         ids=["alone", "after other messages"])
def test_a_recovery_point_sei_makes_a_sync_sample(sei):
    video = [(b.AUD + (b.nal(b.SPS) + b.nal(b.PPS) + b.nal(b.idr()) if i == 0 else
                       b.nal(sei) + b.nal(b.non_idr()) if i % 5 == 0 else b.nal(b.non_idr())), 90000 + 3600 * i, None)
             for i in range(20)]
    mp4 = plexo.convert_ts_to_mp4(b.transport_stream(video, audio_stream=False), diagnostics=False)
    assert b.table(mp4, 0, "stss")[1] == [4, 1, 6, 11, 16]


def test_a_recovery_point_is_no_thumbnail_key_frame_when_an_idr_comes_first(fixture_bytes):
    source = fixture_bytes("ts_intra_refresh.ts")
    first_idr = plexo.extract_thumbnail_from_ts(source)
    assert first_idr == plexo.extract_thumbnail_from_ts(source[:len(source) // 3])


# ---- open and closed GOPs -------------------------------------------------------------------

def hls(tmp_path: pathlib.Path, source: bytes, *options: str) -> pathlib.Path:
    (tmp_path / "in.ts").write_bytes(source)
    out = tmp_path / "out"
    done = subprocess.run(CLI + list(options) + [str(tmp_path / "in.ts"), str(out)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return out


@pytest.mark.parametrize("name, independent", [("ts_hevc_closed_gop.ts", True), ("ts_hevc_open_gop.ts", False),
                                               ("ts_bframes.ts", True), ("ts_h264_open_gop.ts", False)])
def test_segments_are_declared_independent_only_when_each_decodes_alone(tmp_path, fixture_bytes, ffprobe, ffmpeg,
                                                                          name, independent):
    out = hls(tmp_path, fixture_bytes(name), "--segment-duration", "0.5")
    lines = playlist_lines(out)
    assert ("#EXT-X-INDEPENDENT-SEGMENTS" in lines) == independent
    init, segments = (out / "init.mp4").read_bytes(), segments_of(out)
    assert len(segments) > 2
    alone = [decodes_every_picture(init + s) for s in segments]
    # each segment with the init segment decodes every picture it holds; where that is not
    # so, some segment alone loses the leading pictures it begins with
    assert all(alone) == independent


def test_leading_pictures_are_flagged(fixture_bytes):
    out = plexo.convert_ts_to_fmp4(fixture_bytes("ts_hevc_open_gop.ts"), fragment_duration=0.5, diagnostics=False)
    samples = [s for fragment in b.track_fragments(out) for s in fragment[0][2]]
    leading = [s[2] & LEADING for s in samples]
    # each CRA after the first is followed by two RASL pictures: "leading, needs earlier ones"
    assert leading.count(0x04000000) == 16 and set(leading) == {0, 0x04000000}
    closed = plexo.convert_ts_to_fmp4(fixture_bytes("ts_hevc_closed_gop.ts"), fragment_duration=0.5,
                                      diagnostics=False)
    assert not any(s[2] & LEADING for fragment in b.track_fragments(closed) for s in fragment[0][2])


def test_leading_pictures_are_listed_in_the_progressive_file(fixture_bytes, ffprobe, ffmpeg):
    source = fixture_bytes("ts_hevc_open_gop.ts")
    mp4 = plexo.convert_ts_to_mp4(source, diagnostics=False)
    sdtp = b.tables(mp4, 0)["sdtp"][4:]
    keys = [p["flags"][0] == "K" for p in mt.packets(mp4, "v:0")]
    assert len(sdtp) == len(keys) and [byte >> 4 & 3 for byte in sdtp] == [2 if k else 1 for k in keys]
    assert sum(byte >> 6 == 1 for byte in sdtp) == 16 and {byte >> 6 for byte in sdtp} == {0, 1}
    assert mt.probe_errors(mp4) == "" and mt.framemd5(mp4, "0:v:0") == mt.framemd5(source, "0:v:0", ".ts")
    assert "sdtp" not in b.tables(plexo.convert_ts_to_mp4(fixture_bytes("ts_hevc_closed_gop.ts"),
                                                          diagnostics=False), 0)


# ---- what the segmenter holds ----------------------------------------------------------------

def pictures(count: int, step: int, key_every: int | None = None) -> bytes:
    """Parameter sets, then `count` pictures `step` ticks apart: IDR pictures every `key_every`,
    none at all without it."""
    video = [(b.AUD + (b.nal(b.SPS) + b.nal(b.PPS) if i == 0 else b"") +
              b.nal(b.idr() if key_every and i % key_every == 0 else b.non_idr()) + bytes(40), 90000 + step * i, None)
             for i in range(count)]
    return b.transport_stream(video, audio_stream=False)


@pytest.mark.parametrize("step, limit, most", [(3600, 2.0, 50), (1, 60.0, 16384)],
                         ids=["no key picture", "one tick per picture"])
def test_a_stream_without_key_pictures_is_held_only_up_to_the_bound(step, limit, most):
    count = 40000 if step == 1 else 600
    source = pictures(count, step)
    segmenter = plexo.TsSegmenter(0.5, limit)
    during, held = [], []
    for at in range(0, len(source), 188 * 64):
        during += segmenter.push(source[at:at + 188 * 64])
        pushed = (min(len(source), at + 188 * 64) - 2 * 188) // 188
        held.append(pushed - sum(len(video_samples(f)) for f in during))
    assert len(during) >= max(2, count // most - 1) and not segmenter.independent
    # the pictures that went in but not out (a packet each) stay within one fragment's bound
    assert max(held) <= most + 64 + 2
    assert all(len(video_samples(f)) <= most for f in during + segmenter.flush())


def test_fragments_end_at_the_limit_when_no_key_frame_comes(fixture_bytes):
    source = fixture_bytes("ts_long_gop.ts")  # key frames at 0, 2, 4, 9 and 11 s
    segmenter, during, last = pushed_in_pieces(source, 188 * 64, 2.0, 3.0)
    durations = [sum(s[0] for s in video_samples(f)) / 90000 for f in during + last]
    assert max(durations) <= 3.0 and len(durations) == 6 and not segmenter.independent
    # the segmenter's default bound lets the 5 s GOP be one fragment, as in the one-shot file
    segmenter, during, last = pushed_in_pieces(source, 188 * 64, 2.0)
    assert segmenter.init + b"".join(during + last) == plexo.convert_ts_to_fmp4(
        source, fragment_duration=2.0, diagnostics=False)
    assert segmenter.independent


# ---- the live playlist -----------------------------------------------------------------------

@pytest.mark.parametrize("options, target, independent", [([], 6, True), (["--max-segment-duration", "4"], 4, False)])
def test_a_live_playlist_keeps_its_target_duration(tmp_path, fixture_bytes, ffprobe, options, target, independent):
    source = fixture_bytes("ts_long_gop.ts")
    out = tmp_path / "live"
    feed = subprocess.Popen(CLI + ["--segment-duration", "2", *options, "-", str(out)], stdin=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    seen = []
    piece = len(source) // 24 + 1
    for at in range(0, len(source), piece):
        feed.stdin.write(source[at:at + piece])
        feed.stdin.flush()
        time.sleep(0.05)
        if (out / "index.m3u8").exists():
            seen.append(playlist_lines(out))
    feed.stdin.close()
    assert feed.wait(60) == 0, feed.stderr.read()
    seen.append(playlist_lines(out))
    assert len(seen) > 2
    targets = {line for lines in seen for line in lines if line.startswith("#EXT-X-TARGETDURATION:")}
    assert targets == {f"#EXT-X-TARGETDURATION:{target}"}
    final = seen[-1]
    extinf = [float(line[8:-1]) for line in final if line.startswith("#EXTINF:")]
    assert max(extinf) <= target and ("#EXT-X-INDEPENDENT-SEGMENTS" in final) == independent
    assert mt.run("ffprobe", "-v", "error", str(out / "index.m3u8")).stderr == ""


def test_the_limit_may_not_be_shorter_than_the_segments(tmp_path):
    done = subprocess.run(CLI + ["--segment-duration", "4", "--max-segment-duration", "2", "-", str(tmp_path)],
                          capture_output=True, text=True)
    assert done.returncode == 2 and "--max-segment-duration" in done.stderr


# ---- the same fragments however the stream was cut -------------------------------------------

def test_audio_timed_by_a_later_pts_starts_the_same_in_any_chunking():
    # video from 1 s; the audio's first PES carries no PTS, the next ones do (from 1.2 s), and
    # each is muxed twenty pictures behind the video it plays with
    video = [(b.AUD + (b.nal(b.SPS) + b.nal(b.PPS) if i == 0 else b"") +
              b.nal(b.idr() if i % 5 == 0 else b.non_idr()) + bytes(300), 90000 + 3600 * i, None) for i in range(200)]
    audio = [(b.aac_frames(2), None if k == 0 else 90000 + 18000 + 3840 * k) for k in range(180)]
    source = b.transport_stream(video, audio, audio_after=[k * 200 // 180 + 20 for k in range(180)])
    whole = plexo.convert_ts_to_fmp4(source, fragment_duration=0.5, diagnostics=False)
    audio_start = [t for trafs in b.track_fragments(whole) for track, t, _ in trafs if track == 2][0]
    assert audio_start == 18000
    for piece in (len(source), 65536, 1316, 188):
        segmenter, during, last = pushed_in_pieces(source, piece, 0.5)
        assert segmenter.init + b"".join(during + last) == whole
