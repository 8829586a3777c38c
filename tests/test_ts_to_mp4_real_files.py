"""convert_ts_to_mp4 on real transport streams, judged by ffprobe and ffmpeg: the MP4 must
probe and decode cleanly and present the same pictures and sound at the same times."""
from __future__ import annotations

import functools

import pytest

import _plexo
import media_tools as mt

FIXTURES = ["ts_bframes.ts", "ts_no_bframes.ts", "ts_44k_mono.ts", "ts_1080p.ts",
            "ts_interlaced.ts", "ts_multislice.ts", "ts_192.m2ts", "ts_no_aud.ts",
            "ts_audio_late.ts", "ts_pts_wrap.ts"]


def suffix(name: str) -> str:
    return "." + name.rsplit(".", 1)[1]


@functools.lru_cache(maxsize=None)
def converted(name: str, source: bytes) -> bytes:
    return _plexo.convert_ts_to_mp4(source)


def frame_times(frames: list[dict]) -> list[float]:
    return [float(f.get("pts_time", f.get("best_effort_timestamp_time"))) for f in frames]


def span(frames: list[dict]) -> float:
    """From the first frame's start to the last frame's end."""
    times = frame_times(frames)
    return times[-1] + float(frames[-1]["pkt_duration_time"]) - times[0]


@pytest.fixture(params=FIXTURES)
def pair(request, fixture_bytes, ffprobe, ffmpeg):
    """(source bytes, its suffix, converted MP4)."""
    name = request.param
    source = fixture_bytes(name)
    return source, suffix(name), converted(name, source)


def test_probes_and_decodes_without_errors(pair):
    _, _, out = pair
    assert mt.probe_errors(out) == ""
    assert mt.decode_errors(out) == ""


def test_every_picture_is_the_sources_in_order_and_time(pair):
    source, ext, out = pair
    src_frames, out_frames = mt.frames(source, "v:0", ext), mt.frames(out, "v:0")
    assert len(out_frames) == len(src_frames)
    assert mt.framemd5(out, "0:v:0") == mt.framemd5(source, "0:v:0", ext)
    src_t, out_t = frame_times(src_frames), frame_times(out_frames)
    assert out_t[0] == 0.0  # the first presented picture opens the movie
    assert [round(t - out_t[0], 4) for t in out_t] == [round(t - src_t[0], 4) for t in src_t]
    assert abs(span(out_frames) - span(src_frames)) < float(src_frames[0]["pkt_duration_time"])


def test_key_frames_are_the_idr_pictures(pair):
    source, ext, out = pair
    src_keys = [i for i, f in enumerate(mt.frames(source, "v:0", ext)) if f["key_frame"] == 1]
    out_keys = [i for i, f in enumerate(mt.frames(out, "v:0")) if f["key_frame"] == 1]
    assert out_keys == src_keys
    # seeking uses the sample table's sync samples: packet key flags in decode order
    src_flags = [p["flags"][0] == "K" for p in mt.packets(source, "v:0", ext)]
    out_flags = [p["flags"][0] == "K" for p in mt.packets(out, "v:0")]
    assert out_flags == src_flags and out_flags[0]


def test_sound_is_the_sources_at_the_same_offset(pair):
    source, ext, out = pair
    src_audio, out_audio = mt.frames(source, "a:0", ext), mt.frames(out, "a:0")
    src_v0 = frame_times(mt.frames(source, "v:0", ext))[0]
    out_v0 = frame_times(mt.frames(out, "v:0"))[0]
    src_stream, out_stream = mt.streams(source, ext)[1], mt.streams(out)[1]
    assert (out_stream["sample_rate"], out_stream["channels"]) == (
        src_stream["sample_rate"], src_stream["channels"])
    frame = int(src_audio[0]["nb_samples"]) / int(src_stream["sample_rate"])

    # Audio before the first picture is cut at movie time 0: whole frames of the source go.
    src_md5, out_md5 = mt.framemd5(source, "0:a:0", ext), mt.framemd5(out, "0:a:0")
    skipped = len(src_md5) - len(out_md5)
    assert 0 <= skipped <= 2
    assert out_md5 == src_md5[skipped:]

    src_t = [t - src_v0 for t in frame_times(src_audio)[skipped:]]
    out_t = [t - out_v0 for t in frame_times(out_audio)]
    assert abs(out_t[0] - src_t[0]) < frame  # start offset against the video
    assert max(abs(a - b) for a, b in zip(out_t, src_t)) < 0.002
    assert abs(span(out_audio) - span(src_audio[skipped:])) < frame


def test_late_audio_starts_half_a_second_in(fixture_bytes, ffprobe):
    out = converted("ts_audio_late.ts", fixture_bytes("ts_audio_late.ts"))
    assert frame_times(mt.frames(out, "a:0"))[0] == pytest.approx(0.5, abs=1e-6)


def test_video_only_stream_is_not_a_programme(fixture_bytes):
    # The demultiplexer takes a programme only with both an H.264 and an AAC stream.
    with pytest.raises(ValueError, match="^No video data found$"):
        _plexo.convert_ts_to_mp4(fixture_bytes("ts_video_only.ts"))


def packet_ends(data: bytes, stream: str, ext: str) -> tuple[float, float, float]:
    """(first pts, last pts + duration, max pts + duration) of one stream's packets, seconds."""
    info = mt.probe(data, ext, "-select_streams", stream, "-show_entries",
                    "packet=pts,duration:stream=time_base")
    num, den = (int(x) for x in info["streams"][0]["time_base"].split("/"))
    rows = [(p["pts"] * num / den, p.get("duration", 0) * num / den) for p in info["packets"]]
    return min(p for p, _ in rows), rows[-1][0] + rows[-1][1], max(p + d for p, d in rows)


def test_ten_minutes_at_44k_do_not_drift(tmp_path, ffmpeg, ffprobe):
    # 1024 samples at 44.1 kHz is no whole number of 90 kHz ticks; the track must not drift.
    path = tmp_path / "long.ts"
    mt.run("ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
           "testsrc2=size=64x48:rate=25:duration=600", "-f", "lavfi", "-i",
           "sine=frequency=440:sample_rate=44100:duration=600", "-map", "0:v", "-map", "1:a",
           "-c:v", "libx264", "-preset", "ultrafast", "-bf", "2", "-c:a", "aac", "-b:a", "16k",
           "-f", "mpegts", str(path))
    source = path.read_bytes()
    out = _plexo.convert_ts_to_mp4(source)
    frame = 1024 / 44100
    for data, ext in ((source, ".ts"), (out, ".mp4")):
        v0, _, v_end = packet_ends(data, "v:0", ext)
        a0, a_end, _ = packet_ends(data, "a:0", ext)
        if ext == ".ts":
            src_start, src_gap = a0 - v0, a_end - v_end
        else:
            assert abs(v_end - v0 - 600) < 0.04
            assert abs((a0 - v0) - src_start) < frame
            assert abs((a_end - v_end) - src_gap) < frame
