"""mux_fmp4_tracks on small built files: the joined layout, which movie box is the template,
track IDs, the two inputs' start times, and the message for every input it refuses."""
from __future__ import annotations

import struct

import pytest

import _plexo
from builders import (box, box_payload, entries, find_box, full_box, iter_boxes, large_box, sample_bytes,
                      tables, trak_box, traks, u32, u64)
from builders import FTYP, Run, Traf, edit_list, fragment, moov, mvhd, mvhd_fields, samples, trak, trex

FTYP_OUT = box("ftyp", b"isom", u32(512), b"isomiso2avc1mp41")
STSD_AUDIO = u32(0) + u32(1) + box("mp4a", b"\0" * 28)
VIDEO_BYTES = [b"V" * 30, b"v" * 20, b"w" * 10]
AUDIO_BYTES = [b"A" * 7, b"a" * 5]


def video(track_id: int = 1, *, timescale: int = 90000, decode_time: int | None = None,
          movie_timescale: int = 1000, extra: bytes = b"") -> bytes:
    """A fragmented video file: one trak, one fragment of three samples of 3000 units."""
    run = Run(samples(*VIDEO_BYTES, duration=3000), data_offset=0)
    return (FTYP + moov(trak(track_id, timescale), trexes=(trex(track_id),), timescale=movie_timescale,
                        extra=extra)
            + fragment(Traf(track_id, [run], decode_time=decode_time)))


def audio(track_id: int = 2, *, timescale: int = 48000, decode_time: int | None = None,
          duration: int = 1024) -> bytes:
    """A fragmented audio file: one trak, one fragment of two samples."""
    run = Run(samples(*AUDIO_BYTES, duration=duration), data_offset=0)
    return (FTYP + moov(trak(track_id, timescale, stsd=STSD_AUDIO, handler="soun"), trexes=(trex(track_id),))
            + fragment(Traf(track_id, [run], decode_time=decode_time)))


def moov_children(out: bytes) -> list[str]:
    off, size, header = find_box(out, "moov")
    return [kind for kind, *_ in iter_boxes(out, off + header, off + size)]


def track_ids(out: bytes) -> list[int]:
    return [struct.unpack(">I", trak_box(out, i, "tkhd")[12:16])[0] for i in range(len(traks(out)))]


def mux_error(video_data: bytes, audio_data: bytes) -> str:
    with pytest.raises(ValueError) as caught:
        _plexo.mux_fmp4_tracks(video_data, audio_data)
    return str(caught.value)


# ---- layout ---------------------------------------------------------------------------------

def test_output_is_ftyp_moov_mdat_with_video_samples_then_audio_samples():
    out = _plexo.mux_fmp4_tracks(video(), audio())
    assert out[:32] == FTYP_OUT
    assert [k for k, *_ in iter_boxes(out)] == ["ftyp", "moov", "mdat"]
    assert box_payload(out, "mdat") == b"".join(VIDEO_BYTES + AUDIO_BYTES)
    moov_size = find_box(out, "moov")[1]
    assert entries(tables(out, 0)["stco"])[0] == 32 + moov_size + 8
    assert entries(tables(out, 1)["stco"])[0] == 32 + moov_size + 8 + sum(map(len, VIDEO_BYTES))


def test_every_chunk_offset_points_at_its_sample():
    out = _plexo.mux_fmp4_tracks(video(), audio())
    assert sample_bytes(out, 0) == VIDEO_BYTES
    assert sample_bytes(out, 1) == AUDIO_BYTES


def test_each_track_keeps_its_own_sample_description_and_timescale():
    out = _plexo.mux_fmp4_tracks(video(), audio())
    assert tables(out, 0)["stsd"] == trak_box(video(), 0, "mdia/minf/stbl/stsd")
    assert tables(out, 1)["stsd"] == STSD_AUDIO
    assert struct.unpack(">I", trak_box(out, 1, "mdia/mdhd")[12:16])[0] == 48000


def test_samples_take_the_track_extends_defaults():
    # the audio runs carry sizes only; durations come from the audio input's trex
    run = Run(samples(*AUDIO_BYTES, duration=None), data_offset=0)
    data = (FTYP + moov(trak(2, 48000, stsd=STSD_AUDIO, handler="soun"), trexes=(trex(2, duration=1024),))
            + fragment(Traf(2, [run])))
    out = _plexo.mux_fmp4_tracks(video(), data)
    assert entries(tables(out, 1)["stts"], 2) == [(2, 1024)]


def test_a_track_without_samples_is_refused_naming_its_input():
    """An initialisation segment alone, or a movie with a trak that no fragment fills, would
    join as a track that plays nothing."""
    init_only = FTYP + moov(trak(2, 48000, stsd=STSD_AUDIO, handler="soun"), trexes=(trex(2),))
    assert mux_error(video(), init_only) == "The audio input holds no samples for track 2"
    video_init = FTYP + moov(trak(1, 90000), trexes=(trex(1),))
    assert mux_error(video_init, audio()) == "The video input holds no samples for track 1"
    two_traks = (FTYP + moov(trak(1, 90000), trak(9, 90000), trexes=(trex(1),))
                 + fragment(Traf(1, [Run(samples(*VIDEO_BYTES, duration=3000), data_offset=0)])))
    assert mux_error(two_traks, audio()) == "The video input holds no samples for track 9"


# ---- the movie box ----------------------------------------------------------------------------

def test_video_movie_box_is_the_template_and_the_tracks_replace_its_traks():
    udta = box("udta", b"video-side")
    run = Run(samples(*VIDEO_BYTES, duration=3000), data_offset=0)
    template = (FTYP + box("moov", mvhd(1000), trak(1, 90000), box("mvex", trex(1), trex(9)), trak(9, 90000), udta)
                + fragment(Traf(1, [run]), Traf(9, [run])))
    audio_side = (FTYP + moov(trak(2, 48000, stsd=STSD_AUDIO, handler="soun"), extra=box("udta", b"audio-side"))
                  + fragment(Traf(2, [Run(samples(*AUDIO_BYTES, duration=1024), data_offset=0)])))
    out = _plexo.mux_fmp4_tracks(template, audio_side)
    # the joined tracks stand where the first template trak stood; mvex is gone
    assert moov_children(out) == ["mvhd", "trak", "trak", "trak", "udta"]
    assert track_ids(out) == [1, 9, 2]
    assert box_payload(out, "moov/udta") == b"video-side"


def test_track_ids_are_kept_and_the_next_track_id_follows_the_largest():
    out = _plexo.mux_fmp4_tracks(video(track_id=7), audio(track_id=3))
    assert track_ids(out) == [7, 3]
    assert mvhd_fields(out)[2] == 8


def test_movie_duration_is_the_longest_track_in_the_movie_timescale():
    # video 3 × 3000 / 90000 = 0.1 s; audio 2 × 48000 / 48000 = 2 s
    out = _plexo.mux_fmp4_tracks(video(), audio(duration=48000))
    assert mvhd_fields(out)[:2] == (1000, 2000)


def test_track_header_duration_is_in_the_movie_timescale():
    out = _plexo.mux_fmp4_tracks(video(movie_timescale=600), audio(duration=48000))
    durations = [struct.unpack(">I", trak_box(out, i, "tkhd")[20:24])[0] for i in range(2)]
    assert durations == [60, 1200]  # 0.1 s and 2 s at 600 per second


def test_audio_input_without_tracks_leaves_the_video_tracks():
    out = _plexo.mux_fmp4_tracks(video(), FTYP + box("moov", mvhd()))
    assert track_ids(out) == [1]
    assert box_payload(out, "mdat") == b"".join(VIDEO_BYTES)


# ---- keeping the inputs' start times ------------------------------------------------------------

@pytest.mark.parametrize("video_start, audio_start", [(None, None), (0, 0), (90000, 48000), (None, 4800)],
                         ids=["absent", "both-zero", "equal-seconds", "one-absent"])
def test_inputs_starting_together_or_without_decode_times_get_no_edit_list(video_start, audio_start):
    out = _plexo.mux_fmp4_tracks(video(decode_time=video_start), audio(decode_time=audio_start))
    assert edit_list(out, 0) is None and edit_list(out, 1) is None


def test_late_audio_starts_with_an_empty_edit_of_the_difference():
    # audio starts 24000 / 48000 = 0.5 s after the video
    out = _plexo.mux_fmp4_tracks(video(decode_time=0), audio(decode_time=24000, duration=48000))
    assert edit_list(out, 0) is None
    assert edit_list(out, 1) == [(500, -1, 0x10000), (2000, 0, 0x10000)]
    assert mvhd_fields(out)[1] == 2500
    assert struct.unpack(">I", trak_box(out, 1, "tkhd")[20:24])[0] == 2500


def test_late_video_starts_with_an_empty_edit_of_the_difference():
    # video at 1.2 s (108000 / 90000), audio at 1 s
    out = _plexo.mux_fmp4_tracks(video(decode_time=108000), audio(decode_time=48000))
    assert edit_list(out, 0) == [(200, -1, 0x10000), (100, 0, 0x10000)]
    assert edit_list(out, 1) is None


# ---- refused inputs: the message names the rule ---------------------------------------------------

NO_MOOV = fragment(Traf(1, [Run(samples(b"x"), data_offset=0)]))


@pytest.mark.parametrize("video_data, audio_data, message", [
    (NO_MOOV, audio(), "moov box not found"),
    (video(), NO_MOOV, "moov box not found"),
    (video(), b"", "moov box not found"),
    (FTYP + box("moov", mvhd()), FTYP + box("moov", mvhd()), "합칠 트랙이 없음"),
    (video(track_id=1), audio(track_id=1), "track_id 1 가 중복됨"),
    (FTYP + moov(trak(7, 90000), trak(7, 90000)), audio(), "track_id 7 가 중복됨"),
    (FTYP + box("moov", mvhd(), box("mvex", trex(2))), audio(), "템플릿 moov 에 trak 이 없어 트랙을 배치할 수 없음"),
], ids=["video-no-moov", "audio-no-moov", "audio-empty", "no-tracks", "duplicate-across",
        "duplicate-within", "template-without-trak"])
def test_refusals(video_data, audio_data, message):
    assert mux_error(video_data, audio_data) == message


def test_a_trak_without_a_usable_track_header_matches_no_track():
    # the first tkhd names the track (a later one is never read); this one is too short to
    # hold a track ID, so the trak describes no track the output could place
    short = full_box("tkhd", 0, 3, b"\0" * 4)
    traks_ok = trak(5, 90000)
    odd = box("trak", short, traks_ok[8:])
    assert mux_error(FTYP + box("moov", mvhd(), odd), audio()) == "track_id 0 에 해당하는 trak 없음"


def test_boxes_a_movie_box_of_size_0_swallows_stay_out_of_the_output_movie():
    """A moov of size 0 runs to the end of the file: the fragments after it are its children
    then, and must not be copied into the joined movie."""
    data = video()
    at = data.index(b"moov") - 4
    # the video fragments are not read, so its track has no samples to join
    assert mux_error(data[:at] + u32(0) + data[at + 4:], audio()) == \
        "The video input holds no samples for track 1"


def test_a_trak_without_track_header_is_track_zero_without_template():
    bare = box("trak", box("mdia"))
    assert mux_error(video(), FTYP + box("moov", mvhd(), bare)) == "track_id 0 에 해당하는 trak 없음"


@pytest.mark.parametrize("bad, message", [
    (u32(1000) + b"moov" + b"\0" * 492, "Box size 1000 exceeds available data"),
    (FTYP + box("moov", mvhd(), box("trak", u32(1) + b"tkhd" + b"\0" * 4)), "Not enough data"),
    (b"this is plain text, not a movie", "Box size 1952999795 exceeds available data"),
], ids=["truncated-top-level", "cut-64-bit-size", "not-mp4"])
def test_box_errors_pass_through_unchanged(bad, message):
    assert mux_error(bad, audio()) == message
    assert mux_error(video(), bad) == message


def test_video_errors_are_reported_before_the_audio_input_is_read():
    assert mux_error(NO_MOOV, b"garbage!" * 3) == "moov box not found"
    assert mux_error(video(track_id=1), NO_MOOV) == "moov box not found"
    assert mux_error(FTYP + moov(trak(4, 90000), trak(4, 90000)), b"") == "moov box not found"


# ---- damaged inputs ----------------------------------------------------------------------------

def refused_or_joined(video_file: bytes, audio_file: bytes) -> None:
    """Joins the two or takes the refusal; what comes back is a file of ftyp, moov and mdat
    whose tracks' samples, as their tables place them, lie in the mdat and fill it exactly
    when every track has tables (a trak whose mdia a damaged input lost is copied without)."""
    try:
        out = _plexo.mux_fmp4_tracks(video_file, audio_file)
    except ValueError:
        return
    assert [kind for kind, *_ in iter_boxes(out)] == ["ftyp", "moov", "mdat"]
    count = len(traks(out))
    tracks = [i for i in range(count) if trak_box(out, i, "mdia/minf/stbl/stsz") is not None]
    mdat_at, mdat_size, header = find_box(out, "mdat")
    placed = 0
    for i in tracks:
        offsets = entries(tables(out, i)["stco"])
        assert all(mdat_at + header <= o <= mdat_at + mdat_size for o in offsets)
        placed += sum(len(sample) for sample in sample_bytes(out, i))
    assert placed == mdat_size - header if len(tracks) == count else placed <= mdat_size - header


def test_every_truncation_is_refused_or_joined():
    v, a = video(), audio()
    for cut in range(0, len(v), 7):
        refused_or_joined(v[:cut], a)
        refused_or_joined(v, a[:cut])


def test_every_corrupted_byte_is_refused_or_joined():
    v, a = video(), audio()
    for i in range(len(a)):
        for value in (0x00, 0xFF):
            damaged = bytearray(a)
            damaged[i] = value
            refused_or_joined(v, bytes(damaged))
            refused_or_joined(bytes(damaged), v)


def test_truncated_inputs_name_the_box_that_runs_past_the_end():
    v = video()
    moov_size = find_box(v, "moov")[1]
    cut = v[:len(FTYP) + moov_size - 10]
    assert mux_error(cut, audio()) == f"Box size {moov_size} exceeds available data"
    assert mux_error(video(), cut) == f"Box size {moov_size} exceeds available data"


def test_an_edit_of_duration_0_lasts_to_the_end_of_the_media():
    """ffmpeg's fragmented files (DASH) carry edits of duration 0, "to the end": a progressive
    file needs the real length, or players show nothing."""
    open_ended = box("edts", full_box("elst", 0, 0, u32(1), u32(0), u32(1500), u32(1 << 16)))
    run = Run(samples(*VIDEO_BYTES, duration=3000), data_offset=0)
    data = FTYP + moov(trak(1, 90000, extra=open_ended), trexes=(trex(1),)) + fragment(Traf(1, [run]))
    # 9000 units of media from 1500 on: 7500 of 90000 in the movie's 1000
    assert edit_list(_plexo.mux_fmp4_tracks(data, audio()), 0) == [(83, 1500, 0x10000)]
    assert edit_list(_plexo.defragment_mp4(data), 0) == [(83, 1500, 0x10000)]
