"""convert_ts_to_mp4 on damaged input: every byte string gives a file or a ValueError."""
from __future__ import annotations

import random

import pytest

import _plexo
import media_tools as mt
from builders import AUD, PPS, SPS, aac_frames, nal, transport_stream
from conftest import peak_memory

FIXTURES = ["ts_bframes.ts", "ts_no_aud.ts", "ts_44k_mono.ts", "ts_pts_wrap.ts", "ts_192.m2ts"]


def convert_or_error(data: bytes) -> bytes | None:
    try:
        out = _plexo.convert_ts_to_mp4(data)
    except ValueError as error:
        assert str(error) in ("No video data found", "No valid TS sync byte found",
                              "No H.264 parameter sets found") or \
            str(error).startswith("Unsupported "), error
        return None
    assert isinstance(out, bytes) and out[4:8] == b"ftyp"
    return out


@pytest.mark.parametrize("name", FIXTURES)
def test_truncations_give_a_file_or_an_error(fixture_bytes, name):
    data = fixture_bytes(name)
    for cut in list(range(0, 2000, 97)) + list(range(2000, len(data), len(data) // 40)):
        convert_or_error(data[:cut])


@pytest.mark.parametrize("name", FIXTURES)
def test_flipped_bytes_give_a_file_or_an_error(fixture_bytes, name):
    data = fixture_bytes(name)
    rng = random.Random(name)
    for _ in range(150):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 40)):
            damaged[rng.randrange(len(damaged))] ^= 1 << rng.randrange(8)
        convert_or_error(bytes(damaged))


def test_truncated_stream_still_makes_a_playable_file(fixture_bytes, ffprobe, ffmpeg):
    data = fixture_bytes("ts_bframes.ts")
    out = convert_or_error(data[: 188 * (len(data) // 188 // 2)])
    assert out is not None
    assert mt.probe_errors(out) == ""


@pytest.mark.parametrize("data", [
    b"", b"\x47", b"\x00" * 1000, b"\x47" * 188 * 3, bytes(range(256)) * 20,
])
def test_odd_inputs(data):
    with pytest.raises(ValueError):
        _plexo.convert_ts_to_mp4(data)


@pytest.mark.parametrize("body", [
    (b"\x00\x00\x01\x65\x80") * 200,       # 200 one-slice pictures, five bytes each
    nal(b"\x65" + b"\x00\x00\x03" * 100),  # emulation prevention bytes are left alone
])
def test_degenerate_video_streams(body):
    out = convert_or_error(transport_stream([(nal(SPS) + nal(PPS) + body, 0, None)], [(aac_frames(2), None)]))
    assert out is not None


@pytest.mark.parametrize("body", [
    b"\x00\x00\x01",                       # start code with nothing after it
    b"\x00\x00\x00\x01\x09",               # a delimiter alone
    b"\x00" * 500 + b"\x01",               # a long run of zeros
    AUD * 50,                              # delimiters only
])
def test_streams_without_a_picture_have_no_video(body):
    with pytest.raises(ValueError, match="^No video data found$"):
        _plexo.convert_ts_to_mp4(transport_stream([(body, 0, None)], [(aac_frames(2), None)]))


@pytest.mark.memory_bound
def test_tiny_audio_frames_cost_memory_in_proportion():
    # A million 8-byte ADTS frames: each frame's record stays small and flat.
    from builders import PPS, SPS, idr, non_idr
    video = [(AUD + nal(SPS) + nal(PPS) + nal(idr()), 0, None), (AUD + nal(non_idr()), 3000, None)]
    data = transport_stream(video, [(aac_frames(1_000_000, size=1), 0)])
    found = peak_memory("convert_ts_to_mp4", [data])
    assert found["out"] > 5_000_000  # every frame kept: one byte and one stsz entry each
    assert found["grown"] < 1.5 * (len(data) + found["out"]) + 16_000_000, (len(data), found)
