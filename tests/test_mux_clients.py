"""mux_fmp4_tracks on real separately written fragmented files from ffmpeg (video track 1,
audio track 2): ffprobe and ffmpeg read the joined file cleanly, every packet of each stream
keeps its bytes, times and key flag, the decoded frames are those of the inputs, and the audio
keeps its place against the video."""
from __future__ import annotations

import pytest

import _plexo
import media_tools
from builders import iter_boxes

VIDEO = "mux_video.mp4"
AUDIO = ["mux_audio_48k.mp4", "mux_audio_44k.mp4", "mux_audio_late.mp4"]


@pytest.fixture(scope="module")
def joined(fixture_bytes):
    cache = {}

    def get(audio_name: str):
        if audio_name not in cache:
            video, audio = fixture_bytes(VIDEO), fixture_bytes(audio_name)
            cache[audio_name] = (video, audio, _plexo.mux_fmp4_tracks(video, audio))
        return cache[audio_name]
    return get


def stream(data: bytes, kind: str) -> dict:
    return next(s for s in media_tools.streams(data) if s["codec_type"] == kind)


def audio_frame(data: bytes) -> float:
    return 1024 / int(stream(data, "audio")["sample_rate"])


def span(packets: list[dict]) -> float:
    """From the first packet's decode time to the end of the last packet."""
    last = packets[-1]
    return float(last["dts_time"]) + float(last["duration_time"]) - float(packets[0]["dts_time"])


@pytest.mark.parametrize("audio_name", AUDIO)
def test_joined_file_probes_cleanly_with_both_streams(audio_name, joined, ffprobe):
    _, _, out = joined(audio_name)
    assert [k for k, *_ in iter_boxes(out)] == ["ftyp", "moov", "mdat"]
    assert media_tools.probe_errors(out) == ""
    assert [s["codec_type"] for s in media_tools.streams(out)] == ["video", "audio"]


@pytest.mark.parametrize("audio_name", AUDIO)
def test_both_streams_decode_to_the_inputs_frames(audio_name, joined, ffmpeg):
    video, audio, out = joined(audio_name)
    assert media_tools.decode_errors(out) == ""
    assert media_tools.framemd5(out, "0:v:0") == media_tools.framemd5(video, "0:v:0")
    assert media_tools.framemd5(out, "0:a:0") == media_tools.framemd5(audio, "0:a:0")


@pytest.mark.parametrize("audio_name", AUDIO)
@pytest.mark.parametrize("kind", ["v:0", "a:0"])
def test_packets_keep_bytes_times_and_key_flags(audio_name, kind, joined, ffprobe):
    video, audio, out = joined(audio_name)
    before = media_tools.packets(video if kind == "v:0" else audio, "0")
    after = media_tools.packets(out, kind)
    assert len(after) == len(before)
    for i, (a, b) in enumerate(zip(before, after)):
        assert (b["pts_time"], b["dts_time"], b["size"], b["data_hash"], b["flags"]) == \
               (a["pts_time"], a["dts_time"], a["size"], a["data_hash"], a["flags"]), i
    # Where the input declares a duration that reaches the next packet, the output keeps it
    # (ffprobe guesses the last packet of a fragmented file).
    for i in range(len(before) - 1):
        if before[i].get("duration") == int(before[i + 1]["dts"]) - int(before[i]["dts"]):
            assert after[i]["duration"] == before[i]["duration"], i


@pytest.mark.parametrize("audio_name", AUDIO)
def test_audio_keeps_its_start_against_the_video(audio_name, joined, ffprobe):
    video, audio, out = joined(audio_name)
    before = float(stream(audio, "audio")["start_time"]) - float(stream(video, "video")["start_time"])
    after = float(stream(out, "audio")["start_time"]) - float(stream(out, "video")["start_time"])
    assert after == pytest.approx(before, abs=audio_frame(audio))


def test_late_audio_still_starts_half_a_second_after_the_video(joined, ffprobe):
    _, _, out = joined("mux_audio_late.mp4")
    offset = float(stream(out, "audio")["start_time"]) - float(stream(out, "video")["start_time"])
    # the audio's first decode time is 0.5 s; the video's first picture shows at 0.08 s
    assert offset == pytest.approx(0.5 - 0.08, abs=audio_frame(out))


@pytest.mark.parametrize("audio_name", AUDIO)
def test_stream_durations_match_the_inputs(audio_name, joined, ffprobe):
    video, audio, out = joined(audio_name)
    tolerance = {"video": 0.04, "audio": audio_frame(audio)}  # one frame
    for kind, source in (("video", video), ("audio", audio)):
        expected = span(media_tools.packets(source, "0"))
        assert float(stream(out, kind)["duration"]) == pytest.approx(expected, abs=tolerance[kind]), kind
