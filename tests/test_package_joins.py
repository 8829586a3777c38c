"""plexo.mux_fmp4_tracks joins renditions whose track IDs collide (the audio input's colliding
tracks take the lowest free IDs, in tkhd, mvhd and track references), speaks English where the
extension refuses, and on ffmpeg's DASH representations (every track ID 1) keeps every packet
and the audio's place against the video."""
from __future__ import annotations

import re
import struct

import pytest

import _plexo
import media_tools
import plexo
from builders import FTYP, box, box_payload, trak_box, traks, u32
from builders import moov, mvhd, next_track_id, trak, trex
from test_mux import AUDIO_BYTES, STSD_AUDIO, VIDEO_BYTES, audio, track_ids, video
from builders import Run, Traf, fragment, samples
from conftest import FIXTURES

HANGUL = re.compile("[\u1100-\u11ff\u3130-\u318f\uac00-\ud7af]")


def references(out: bytes, index: int) -> list[int] | None:
    payload = trak_box(out, index, "tref/hint")
    return None if payload is None else list(struct.unpack(f">{len(payload) // 4}I", payload))


def audio_pair(first: int, second: int, *, hint_to: int) -> bytes:
    """An audio file of two tracks; the second refers to `hint_to` through a tref."""
    tref = box("tref", box("hint", u32(hint_to)))
    run = Run(samples(*AUDIO_BYTES, duration=1024), data_offset=0)
    return (FTYP + moov(trak(first, 48000, stsd=STSD_AUDIO, handler="soun"),
                        trak(second, 48000, stsd=STSD_AUDIO, handler="soun", extra=tref),
                        trexes=(trex(first), trex(second)))
            + fragment(Traf(first, [run]), Traf(second, [run])))


@pytest.mark.parametrize("video_data, audio_data, ids, next_id", [
    (video(1), audio(1), [1, 2], 3),
    (video(3), audio(3), [3, 1], 4),
    (video(1), audio(2), [1, 2], 3),
    (FTYP + moov(trak(1, 90000), trak(2, 90000), trexes=(trex(1), trex(2)))
     + fragment(Traf(1, [Run(samples(*VIDEO_BYTES, duration=3000), data_offset=0)]),
                Traf(2, [Run(samples(*VIDEO_BYTES, duration=3000), data_offset=0)])), audio(1), [1, 2, 3], 4),
], ids=["both-1", "lowest-free", "no-collision", "two-video-tracks"])
def test_colliding_audio_tracks_take_the_lowest_free_ids(video_data, audio_data, ids, next_id):
    out = plexo.mux_fmp4_tracks(video_data, audio_data)
    assert track_ids(out) == ids and next_track_id(out) == next_id
    assert box_payload(out, "mdat").endswith(b"".join(AUDIO_BYTES))


def test_track_references_of_the_audio_input_follow_the_new_ids():
    out = plexo.mux_fmp4_tracks(video(1), audio_pair(1, 2, hint_to=1))
    assert track_ids(out) == [1, 3, 2] and references(out, 2) == [3]


def test_a_join_without_collision_is_the_extensions():
    assert plexo.mux_fmp4_tracks(video(1), audio(2)) == _plexo.mux_fmp4_tracks(video(1), audio(2))


def test_the_extension_itself_still_refuses_the_collision():
    with pytest.raises(ValueError, match="^track_id 1 가 중복됨$"):
        _plexo.mux_fmp4_tracks(video(1), audio(1))


# ---- every refusal of the muxer, through the package, in English ------------------------------

BARE = FTYP + box("moov", mvhd())
REFUSED = {
    "no-moov": (fragment(Traf(1, [Run(samples(b"x"), data_offset=0)])), audio(), None),
    "no-tracks": (BARE, BARE, "track"),
    "duplicate-within-audio": (video(1), FTYP + moov(trak(7, 48000), trak(7, 48000)), "7"),
    "template-without-trak": (FTYP + box("moov", mvhd(), box("mvex", trex(2))), audio(), "trak"),
    "no-trak-for-track": (video(), FTYP + box("moov", mvhd(), box("trak", box("mdia"))), "0"),
}


@pytest.mark.parametrize("case", REFUSED)
def test_refusals_are_english_with_the_extensions_message_as_cause(case):
    video_data, audio_data, says = REFUSED[case]
    with pytest.raises(ValueError) as caught:
        plexo.mux_fmp4_tracks(video_data, audio_data)
    assert not HANGUL.search(str(caught.value)) and (says is None or says in str(caught.value))
    with pytest.raises(ValueError) as native:
        _plexo._mux_fmp4_tracks_renumbered(video_data, audio_data)
    if HANGUL.search(str(native.value)):
        assert str(caught.value.__cause__) == str(native.value)


@pytest.mark.parametrize("message", ["합칠 트랙이 없음", "track_id 9 가 중복됨",
                                     "track_id 9 에 해당하는 trak 없음",
                                     "템플릿 moov 에 trak 이 없어 트랙을 배치할 수 없음",
                                     "moov 크기가 offset 계산 전후로 달라짐", "새 메시지"])
def test_every_korean_message_of_the_muxer_is_translated(monkeypatch, message):
    def refuse(video, audio):
        raise ValueError(message)
    monkeypatch.setattr(_plexo, "_mux_fmp4_tracks_renumbered", refuse)
    with pytest.raises(ValueError) as caught:
        plexo.mux_fmp4_tracks(video(), audio())
    assert not HANGUL.search(str(caught.value)) and str(caught.value.__cause__) == message


@pytest.mark.parametrize("name, args", [
    ("defragment_mp4", 1), ("reset_mp4_timestamps", 1), ("mux_fmp4_tracks", 2)])
def test_a_transport_stream_given_to_an_mp4_operation_points_to_convert(fixture_bytes, name, args):
    ts = fixture_bytes("ts_bframes.ts")
    with pytest.raises(ValueError, match=r"transport stream, not an MP4: convert it with "
                                         r"plexo.convert_ts_to_mp4 \('plexo convert'\)"):
        getattr(plexo, name)(*[ts] * args)


# ---- ffmpeg's DASH representations: both carry track ID 1 ------------------------------------

@pytest.fixture(scope="module")
def dash(fixture_bytes):
    video_data, audio_data = (fixture_bytes(f"ladder/dash/rep{i}.mp4") for i in (0, 1))
    return video_data, audio_data, plexo.mux_fmp4_tracks(video_data, audio_data)


def start(data: bytes, kind: str) -> float:
    return float(next(s for s in media_tools.streams(data) if s["codec_type"] == kind)["start_time"])


def test_dash_representations_join_into_a_clean_file(dash, ffprobe, ffmpeg):
    video_data, audio_data, out = dash
    assert media_tools.probe_errors(out) == "" and media_tools.decode_errors(out) == ""
    for select, source in (("v:0", video_data), ("a:0", audio_data)):
        assert [(p["size"], p["data_hash"], p["flags"][0]) for p in media_tools.packets(out, select)] == \
               [(p["size"], p["data_hash"], p["flags"][0]) for p in media_tools.packets(source, "0")]
    before = start(audio_data, "audio") - start(video_data, "video")
    after = start(out, "audio") - start(out, "video")
    assert abs(after - before) <= 1024 / 48000


def test_the_readme_example_joins(fixture_bytes, ffprobe):
    joined = plexo.mux_fmp4_tracks(fixture_bytes("frag_video_only.mp4"),
                                   fixture_bytes("frag_audio_only.mp4"))
    assert track_ids(joined) == [1, 2] and next_track_id(joined) == 3
    assert media_tools.probe_errors(joined) == ""
    assert [s["codec_type"] for s in media_tools.streams(joined)] == ["video", "audio"]


def test_mux_files_renumbers_as_the_bytes_join_does(dash, tmp_path):
    video_data, audio_data, out = dash
    written = plexo.mux_files(FIXTURES / "ladder/dash/rep0.mp4", FIXTURES / "ladder/dash/rep1.mp4",
                              tmp_path / "joined.mp4")
    assert (tmp_path / "joined.mp4").read_bytes() == out and written == len(out)
