"""The live segmenter on a programme whose PMT lists a video stream that never sends (a radio
service keeping an unused video entry): once its audio has run 10 s without a video packet,
the audio is converted alone, fragment by fragment during the pushes, every frame kept, as
convert_ts_to_fmp4 converts the whole stream."""
from __future__ import annotations

import pytest

import media_tools as mt
import plexo
from builders import (AUD, PPS, SPS, VIDEO_PID, adts_frame, idr, nal, packetize, pes, transport_stream)

RADIO = "ts_radio_video_pid.ts"  # 47 s of 96 kHz AAC: 4,408 frames of 10.7 ms
FRAME = 1920  # 48 kHz AAC, 90 kHz ticks


def segment(data: bytes, chunk: int, duration: float = 2.0) -> tuple[bytes, int, int]:
    """init + every fragment joined, the fragments given back by push(), and how many bytes
    had been pushed when the first came."""
    segmenter = plexo.TsSegmenter(duration)
    fragments, first = [], None
    for at in range(0, len(data), chunk):
        fragments += segmenter.push(data[at:at + chunk])
        if fragments and first is None:
            first = at + chunk
    during = len(fragments)
    fragments += segmenter.flush()
    return segmenter.init + b"".join(fragments), during, first


@pytest.mark.parametrize("chunk", [188, 1316, 1 << 20])
def test_a_radio_service_with_a_silent_video_entry_streams_all_its_audio(fixture_bytes, ffprobe, chunk):
    source = fixture_bytes(RADIO)
    joined, during, first = segment(source, chunk)
    whole = plexo.convert_ts_to_fmp4(source, diagnostics=False)
    assert joined == whole
    assert len(mt.packets(joined, "a:0")) == len(mt.packets(source, "a:0", ".ts")) > 4096
    assert not mt.has_stream(joined, "video") and mt.probe_errors(joined) == "" and mt.decode_errors(joined) == ""
    if chunk < len(source):
        # fragments come during the pushes, the first once 10 s of audio have come
        assert during >= 20 and first <= 80 * 1024


def audio_pes(count: int, size: int, per_pes: int = 10, start: int = 180000) -> list[tuple[bytes, int]]:
    """`count` AAC frames of `size` bytes at 48 kHz, `per_pes` to a PES. The segmenter looks
    at the audio every 64 KiB of the stream."""
    return [(b"".join(adts_frame(bytes([n & 0x7F]) * size) for n in range(i, i + per_pes)), start + i * FRAME)
            for i in range(0, count, per_pes)]


def test_audio_goes_alone_after_10_s_without_video_and_not_before():
    # the PMT lists H.264 on a PID that sends nothing
    short = transport_stream([], audio_pes(450, 300))   # 9.6 s over 150 KiB
    long = transport_stream([], audio_pes(1000, 100))   # 21.3 s over 120 KiB
    assert segment(short, 188)[1] == 0
    joined, during, _ = segment(long, 188, 1.0)
    assert during > 0 and joined == plexo.convert_ts_to_fmp4(long, fragment_duration=1.0, diagnostics=False)


def test_no_frame_is_dropped_however_many_come_before_the_first_fragment():
    # 5,000 tiny frames (107 s) in 150 KiB: more than 4,096 by the second look at 128 KiB
    stream = transport_stream([], audio_pes(5000, 20, per_pes=20))
    joined, during, _ = segment(stream, 1316, 4.0)
    assert len(mt.packets(joined, "a:0")) == 5000 and during > 0
    assert joined == plexo.convert_ts_to_fmp4(stream, fragment_duration=4.0, diagnostics=False)


def test_video_that_starts_after_the_audio_went_alone_is_left_out():
    stream = transport_stream([], audio_pes(1000, 100))
    picture = AUD + nal(SPS) + nal(PPS) + nal(idr())
    late_video = b"".join(b"".join(packetize(VIDEO_PID, pes(picture, pts=180000 + 1000 * FRAME + n * 3600), n))
                          for n in range(40))
    joined, during, _ = segment(stream + late_video, 188, 1.0)
    assert during > 0 and not mt.has_stream(joined, "video")
    assert len(mt.packets(joined, "a:0")) == 1000
