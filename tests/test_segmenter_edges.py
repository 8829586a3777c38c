"""Edges of the live segmenter and the TS writers: a feed whose video is not converted is
refused while it is pushed, a failed end fails again, a fragment duration is a real number of
at least a millisecond, a large buffer is not copied whole, a stream without a key picture
says so in its stss, and HEVC units of higher layers stay in their base picture's sample."""
from __future__ import annotations

import tracemalloc

import pytest

import plexo
import plexo._core
import builders as b
import media_tools
from builders import HEVC_IDR, HEVC_PARAMETER_SETS, HEVC_TRAIL, hevc_picture, hevc_slice, hevc_stream, nal, table


def packets(data: bytes, size: int = 188):
    return [data[at:at + size] for at in range(0, len(data), size)]


# ---- a feed of a codec that is not converted -------------------------------------------------

def test_an_mpeg2_feed_is_refused_at_the_push_that_brings_its_pmt(fixture_bytes):
    source = fixture_bytes("ts_mpeg2_mp2.ts")
    with pytest.raises(ValueError) as whole:
        plexo.convert_ts_to_fmp4(source, diagnostics=False)
    segmenter = plexo.TsSegmenter()
    pushed = 0
    with pytest.raises(ValueError) as live:
        for packet in packets(source):
            segmenter.push(packet)
            pushed += 1
    assert str(live.value) == str(whole.value) and "MPEG-2 video" in str(live.value)
    assert pushed < 10  # the PAT and PMT lead the stream


def test_a_failed_flush_fails_again():
    segmenter = plexo.TsSegmenter()
    segmenter.push(b"\x00" * 1000)
    for _ in range(2):
        with pytest.raises(ValueError, match="^No valid TS sync byte found$"):
            segmenter.flush()


# ---- fragment durations ------------------------------------------------------------------------

@pytest.mark.parametrize("make", [plexo.TsSegmenter,
                                  lambda d: plexo.convert_ts_to_fmp4(b"", fragment_duration=d)])
def test_a_bool_is_no_fragment_duration(make):
    with pytest.raises(TypeError, match="'bool' object is not an instance of 'float'"):
        make(True)


@pytest.mark.parametrize("duration", [5e-324, 1e-6, 0.0009])
def test_a_fragment_duration_below_a_millisecond_is_refused(duration, fixture_bytes):
    with pytest.raises(ValueError, match="^Invalid fragment duration$"):
        plexo.TsSegmenter(duration)
    with pytest.raises(ValueError, match="^Invalid fragment duration$"):
        plexo.convert_ts_to_fmp4(fixture_bytes("ts_bframes.ts"), fragment_duration=duration)


def test_integers_and_a_millisecond_are_fragment_durations():
    plexo.TsSegmenter(2)
    plexo.TsSegmenter(0.001)


# ---- large pushes ------------------------------------------------------------------------------

def test_a_buffer_push_is_not_copied_whole(fixture_bytes, monkeypatch):
    source = fixture_bytes("ts_bframes.ts")
    expected = plexo.TsSegmenter(0.5)
    want = expected.push(source)
    monkeypatch.setattr(plexo._core, "_PUSH_WINDOW", 4096)
    segmenter, data = plexo.TsSegmenter(0.5), bytearray(source)
    tracemalloc.start()
    try:
        got = segmenter.push(data)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert got == want and segmenter.flush() == expected.flush()
    # the fragments, and no copy of the pushed buffer beside them
    assert peak < sum(map(len, got)) + len(source) // 2


# ---- sync samples ------------------------------------------------------------------------------

def h264_stream(key_at: int | None, count: int = 8) -> bytes:
    first = b.AUD + b.nal(b.SPS) + b.nal(b.PPS)
    return b.transport_stream(
        [((first if i == 0 else b.AUD) + b.nal(b.idr() if i == key_at else b.non_idr()), 90000 + 3000 * i, None)
         for i in range(count)], audio_stream=False)


def test_a_stream_without_a_key_picture_lists_no_sync_sample(ffprobe):
    out = plexo.convert_ts_to_mp4(h264_stream(None), diagnostics=False)
    assert table(out, 0, "stss") == (0, [0])  # present, and empty
    assert [p["flags"][0] for p in media_tools.packets(out, "v:0")] == ["_"] * 8


def test_the_stss_lists_exactly_the_key_pictures():
    out = plexo.convert_ts_to_mp4(h264_stream(3), diagnostics=False)
    assert table(out, 0, "stss") == (0, [1, 4])


def test_a_stream_without_a_key_picture_still_has_no_thumbnail():
    with pytest.raises(ValueError, match="^No I-frame found in video stream$"):
        plexo.extract_thumbnail_from_ts(h264_stream(None), diagnostics=False)


# ---- HEVC layers -------------------------------------------------------------------------------

def upper_layer(unit: bytes, layer: int = 1) -> bytes:
    """The unit as one of layer `layer`: nuh_layer_id spans the header's two bytes."""
    return bytes([unit[0] | (layer >> 5), ((layer & 0x1F) << 3) | (unit[1] & 7)]) + unit[2:]


def test_units_of_a_higher_layer_stay_in_their_base_pictures_sample():
    pictures = [hevc_picture(HEVC_IDR, *HEVC_PARAMETER_SETS)] + [hevc_picture(HEVC_TRAIL)] * 2
    layered = [p + nal(upper_layer(hevc_slice(HEVC_TRAIL))) for p in pictures]
    plain = plexo.convert_ts_to_mp4(hevc_stream(*pictures), diagnostics=False)
    out = plexo.convert_ts_to_mp4(hevc_stream(*layered), diagnostics=False)
    sizes, plain_sizes = table(out, 0, "stsz")[1][2:], table(plain, 0, "stsz")[1][2:]
    assert len(sizes) == 3
    assert [s - p for s, p in zip(sizes, plain_sizes)] == [4 + len(hevc_slice(HEVC_TRAIL))] * 3
