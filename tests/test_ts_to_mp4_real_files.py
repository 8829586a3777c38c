"""convert_ts_to_mp4 on real transport streams, judged by ffprobe and ffmpeg: the MP4 must
probe and decode cleanly and present the same pictures and sound at the same times."""
from __future__ import annotations

import functools

import pytest

import _plexo
import media_tools as mt

FIXTURES = ["ts_bframes.ts", "ts_no_bframes.ts", "ts_44k_mono.ts", "ts_1080p.ts",
            "ts_interlaced.ts", "ts_multislice.ts", "ts_192.m2ts", "ts_no_aud.ts",
            "ts_audio_late.ts", "ts_pts_wrap.ts", "ts_dropped_frames.ts", "ts_audio_leads.ts",
            "ts_dvb_pat.ts", "ts_hevc_bframes.ts", "ts_hevc_main10.ts", "ts_hevc_no_aud.ts"]


def suffix(name: str) -> str:
    return "." + name.rsplit(".", 1)[1]


@functools.lru_cache(maxsize=None)
def converted(name: str, source: bytes) -> bytes:
    return _plexo.convert_ts_to_mp4(source)


@pytest.fixture(params=FIXTURES)
def pair(request, fixture_bytes, ffprobe, ffmpeg):
    """(source bytes, its suffix, converted MP4)."""
    name = request.param
    source = fixture_bytes(name)
    return source, suffix(name), converted(name, source)


def test_plays_like_the_source(pair):
    # every frame of both streams, at its source time, with the source's key frames and
    # audio offset, and no complaint from ffprobe or ffmpeg
    source, ext, out = pair
    assert mt.differences(source, ext, out) == []


def test_seeking_uses_the_sources_key_frames(pair):
    # the sample table's sync samples: packet key flags in decode order
    source, ext, out = pair
    src_flags = [p["flags"][0] == "K" for p in mt.packets(source, "v:0", ext)]
    out_flags = [p["flags"][0] == "K" for p in mt.packets(out, "v:0")]
    assert out_flags == src_flags and out_flags[0]


def test_every_audio_frame_is_kept(pair):
    source, ext, out = pair
    assert len(mt.packets(out, "a:0")) == len(mt.packets(source, "a:0", ext))


def test_the_movie_starts_with_the_earlier_stream(pair):
    source, ext, out = pair
    firsts = [mt.frame_times(mt.frames(out, s))[0] for s in ("v:0", "a:0")]
    assert min(firsts) == pytest.approx(0.0, abs=1e-6)


def test_late_audio_starts_half_a_second_in(fixture_bytes, ffprobe):
    out = converted("ts_audio_late.ts", fixture_bytes("ts_audio_late.ts"))
    assert mt.frame_times(mt.frames(out, "a:0"))[0] == pytest.approx(0.5, abs=1e-6)


def test_leading_audio_holds_the_video_back(fixture_bytes, ffprobe):
    source = fixture_bytes("ts_audio_leads.ts")
    out = converted("ts_audio_leads.ts", source)
    src = [mt.frame_times(mt.frames(source, s, ".ts"))[0] for s in ("v:0", "a:0")]
    assert mt.frame_times(mt.frames(out, "v:0"))[0] == pytest.approx(src[0] - src[1], abs=0.001)
    assert src[0] - src[1] > 0.4


def test_dropped_frames_keep_their_gap(fixture_bytes, ffprobe):
    source = fixture_bytes("ts_dropped_frames.ts")
    out = converted("ts_dropped_frames.ts", source)

    def gaps(data, ext):
        times = mt.frame_times(mt.frames(data, "v:0", ext))
        return [round(b - a, 3) for a, b in zip(times, times[1:])]
    assert gaps(out, ".mp4") == gaps(source, ".ts")
    assert max(gaps(out, ".mp4")) > 1.0  # the second without pictures is still there


def test_a_video_only_stream_gives_a_video_only_file(fixture_bytes, ffprobe, ffmpeg):
    source = fixture_bytes("ts_video_only.ts")
    out = _plexo.convert_ts_to_mp4(source)
    assert not mt.has_stream(out, "audio")
    assert mt.differences(source, ".ts", out) == []


def test_mpeg2_video_is_refused_by_name(fixture_bytes):
    with pytest.raises(ValueError, match=r"^Unsupported video stream: MPEG-2 video \(stream_type 0x02\)"):
        _plexo.convert_ts_to_mp4(fixture_bytes("ts_mpeg2_mp2.ts"))


# ---- the audio codecs of broadcast and radio --------------------------------------------

AUDIO_CODECS = ["ts_h264_mp3.ts", "ts_h264_mp2.ts", "ts_h264_ac3.ts", "ts_h264_ac3_dvb.ts",
                "ts_h264_eac3.ts", "ts_aac_audio_only.ts"]


@pytest.mark.parametrize("name", AUDIO_CODECS)
def test_broadcast_audio_converts_like_ffmpeg_copies_it(fixture_bytes, ffprobe, ffmpeg, name):
    source = fixture_bytes(name)
    out = converted(name, source)
    reference = mt.copied(source)
    # every frame decodes to the source's, at its time, with the source's audio offset within
    # one audio frame. ffmpeg reads MPEG audio in an MP4 as "mp3" whatever its layer, and
    # decodes MP2 there with other rounding than in a transport stream: its own copy is the
    # judge of that decoding.
    rate = int(next(s["sample_rate"] for s in mt.streams(out) if s["codec_type"] == "audio"))
    frame = mt.frames(out, "a:0")[0]["nb_samples"] / rate
    assert mt.differences(source, ".ts", out, offset_tolerance=frame) in ([], ["audio: decoded frames differ"])
    assert mt.framemd5(out, "0:a:0") == mt.framemd5(source if "mp2" not in name else reference, "0:a:0",
                                                   ".ts" if "mp2" not in name else ".mp4")
    # the codec, and each audio packet byte for byte, as a real client copies them
    codec = [(s["codec_type"], s["codec_name"], s.get("sample_rate")) for s in mt.streams(out)]
    assert codec == [(s["codec_type"], s["codec_name"], s.get("sample_rate")) for s in mt.streams(reference)]
    assert ([p["data_hash"] for p in mt.packets(out, "a:0")] ==
            [p["data_hash"] for p in mt.packets(reference, "a:0")])
    assert mt.duration(out) == pytest.approx(mt.duration(source, ".ts"), abs=0.04)


def test_a_stream_cut_inside_its_first_picture_has_no_video(fixture_bytes):
    with pytest.raises(ValueError, match="^No video data found$"):
        _plexo.convert_ts_to_mp4(fixture_bytes("ts_cut_1000.ts"))


@pytest.mark.parametrize("cut", [20_000, 33_333, 50_001])
def test_a_stream_cut_anywhere_gives_a_clean_file(fixture_bytes, ffprobe, ffmpeg, cut):
    out = _plexo.convert_ts_to_mp4(fixture_bytes("ts_bframes.ts")[:cut])
    assert mt.probe_errors(out) == "" and mt.decode_errors(out) == ""


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
            assert abs((a0 - v0) - src_start) < 0.001
            assert abs((a_end - v_end) - src_gap) < frame


def damaged_headers(source: bytes, sync: bytes, patch: bytes, every: int = 7) -> tuple[bytes, int]:
    """The stream with `patch` written over every `every`-th audio frame header that lies
    whole in one packet of the audio PID (257), and how many were damaged."""
    data, count, seen = bytearray(source), 0, 0
    at = data.find(sync)
    while at >= 0:
        packet = at - at % 188
        if (data[packet + 1] & 0x1F) << 8 | data[packet + 2] == 257 and at + len(patch) <= packet + 188:
            seen += 1
            if seen % every == 3:
                data[at:at + len(patch)] = patch
                count += 1
        at = data.find(sync, at + 1)
    return bytes(data), count


@pytest.mark.parametrize("name, sync, patch", [
    ("ts_h264_ac3.ts", b"\x0b\x77", b"\x0b\x77\x00\x00\xff"),       # reserved fscod
    ("ts_h264_ac3.ts", b"\x0b\x77", b"\x0b\x77\x00\x00\x25"),       # a frame size past the frame
    ("ts_h264_eac3.ts", b"\x0b\x77", b"\x0b\x77\x07\xff"),          # frmsiz past the PES
    ("ts_h264_mp3.ts", b"\xff\xfb", b"\xff\xfb\xfc"),               # reserved rate, bad bitrate
])
def test_frames_with_damaged_headers_are_skipped(fixture_bytes, ffprobe, ffmpeg, name, sync, patch):
    source = fixture_bytes(name)
    bad, count = damaged_headers(source, sync, patch)
    out = _plexo.convert_ts_to_mp4(bad)
    assert count > 0 and mt.probe_errors(out) == ""
    assert len(mt.packets(out, "a:0")) == len(mt.packets(source, "a:0", ".ts")) - count
    if "mp3" not in name:  # MP3 frames borrow bits from the frames before them
        assert mt.decode_errors(out) == ""
