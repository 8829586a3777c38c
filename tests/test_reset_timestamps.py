"""reset_mp4_timestamps and convert_mp4_reset_timestamps on small built files, grouped by rule:
decode times, shared origin, track IDs, durations, segment indexes, file structure, messages."""
from __future__ import annotations

import pytest

import _plexo
from builders import (FTYP, Run, Sample, Traf, box, box_payload, children, decode_times, fragment,
                      full_box, header_times, iter_boxes, large_box, mdhd, moov, mvhd,
                      samples, sidx, sidx_earliest_time, tkhd, trak, trak_box, u32, u64)


def frag(track_id: int, time: int | None, durations=(1000,), *, version: int = 1, sequence: int = 1,
         default_duration: int | None = None) -> bytes:
    runs = [Run([Sample(b"\x00" * 4, d) for d in durations], data_offset=0)]
    return fragment(Traf(track_id, runs, decode_time=time, decode_version=version,
                         default_duration=default_duration), sequence=sequence)


def durations(data: bytes) -> dict[str, list[int]]:
    """The duration of the mvhd and of every tkhd and mdhd, in trak order."""
    traks = range(children(data, "moov").count("trak"))
    return {"mvhd": [header_times(box_payload(data, "moov/mvhd"), "mvhd")[2]],
            "tkhd": [header_times(trak_box(data, i, "tkhd"), "tkhd")[2] for i in traks],
            "mdhd": [header_times(trak_box(data, i, "mdia/mdhd"), "mdhd")[2] for i in traks]}


def times(data: bytes) -> list[int]:
    return [t for _, t in decode_times(data)]


# ---- decode times --------------------------------------------------------------------------

def test_one_track_moves_to_zero_and_keeps_its_fragment_spacing():
    data = FTYP + moov(trak(1, 90000)) + b"".join(
        frag(1, 900000 + 180000 * i, (60000, 60000, 60000), sequence=i + 1) for i in range(3))
    out = _plexo.reset_mp4_timestamps(data)
    assert times(out) == [0, 180000, 360000]
    assert len(out) == len(data)


@pytest.mark.parametrize("version,time", [(0, 0xFFFF0000), (1, 0x1_0000_0000 + 5)])
def test_decode_times_keep_their_width(version, time):
    data = FTYP + moov(trak(1, 1000)) + frag(1, time, version=version) + frag(1, time + 1000, version=version)
    out = _plexo.reset_mp4_timestamps(data)
    assert times(out) == [0, 1000]
    assert [k for k, *_ in iter_boxes(out)] == [k for k, *_ in iter_boxes(data)]
    assert len(out) == len(data)


def test_every_tfdt_of_a_traf_is_rewritten():
    moof = box("moof", full_box("mfhd", 0, 0, u32(1)),
               box("traf", full_box("tfhd", 0, 0x020000, u32(1)),
                   full_box("tfdt", 1, 0, u64(5000)), full_box("tfdt", 0, 0, u32(7000))))
    out = _plexo.reset_mp4_timestamps(FTYP + moov(trak(1, 1000)) + moof)
    assert times(out) == [0, 2000]


def test_a_time_before_the_tracks_first_becomes_zero():
    data = FTYP + moov(trak(1, 1000)) + frag(1, 5000) + frag(1, 4000, sequence=2)
    assert times(_plexo.reset_mp4_timestamps(data)) == [0, 0]


# ---- one origin for all tracks -------------------------------------------------------------

@pytest.mark.parametrize("starts,expected", [
    # (video 90 kHz, audio 48 kHz) first decode times -> after the reset
    ((900000, 480960), [0, 960]),         # audio 20 ms later: stays 20 ms later
    ((901800, 480000), [1800, 0]),        # video 20 ms later
    ((900000, 480000), [0, 0]),           # together: both at 0
])
def test_tracks_move_back_by_the_earliest_start(starts, expected):
    data = FTYP + moov(trak(1, 90000), trak(2, 48000, handler="soun")) + fragment(
        Traf(1, [Run(samples(b"v"), data_offset=0)], decode_time=starts[0]),
        Traf(2, [Run(samples(b"a"), data_offset=0)], decode_time=starts[1]))
    assert times(_plexo.reset_mp4_timestamps(data)) == expected


def test_an_origin_between_ticks_rounds_so_no_track_goes_below_zero():
    # 10 ticks at 3 Hz = 3.333... s; 3334 ms is 0.67 ms later: 3333 ms is the origin there
    data = FTYP + moov(trak(1, 3), trak(2, 1000)) + fragment(
        Traf(1, [Run(samples(b"v", duration=1), data_offset=0)], decode_time=10),
        Traf(2, [Run(samples(b"a"), data_offset=0)], decode_time=3334))
    assert times(_plexo.reset_mp4_timestamps(data)) == [0, 1]


# ---- tracks found by their ID --------------------------------------------------------------

def test_tracks_are_matched_to_fragments_by_track_id_not_trak_order():
    # first trak has ID 9 (90 kHz), second ID 7 (1 kHz); the 7's fragments last longer
    data = FTYP + moov(trak(9, 90000), trak(7, 1000, handler="soun")) + fragment(
        Traf(7, [Run(samples(b"a", b"b", b"c", duration=1000), data_offset=0)], decode_time=10000),
        Traf(9, [Run(samples(b"v", duration=90000), data_offset=0)], decode_time=900000))
    out = _plexo.reset_mp4_timestamps(data)
    assert decode_times(out) == [(7, 0), (9, 0)]
    assert durations(out) == {"mvhd": [3000], "tkhd": [1000, 3000], "mdhd": [90000, 3000]}


def test_a_fragment_for_the_largest_track_id_is_harmless():
    data = FTYP + moov(trak(1, 1000)) + frag(0xFFFFFFFF, 123456) + frag(1, 5000, sequence=2)
    out = _plexo.reset_mp4_timestamps(data)
    # the undeclared track moves to its own zero; track 1 is not disturbed by it
    assert decode_times(out) == [(0xFFFFFFFF, 0), (1, 0)]
    assert durations(out)["mdhd"] == [1000]


# ---- durations -----------------------------------------------------------------------------

def test_durations_are_in_each_headers_units_and_the_movie_takes_the_longest_track():
    # video 90 kHz lasting 2 s, audio 48 kHz lasting 3 s, movie timescale 600
    data = FTYP + moov(trak(1, 90000), trak(2, 48000, handler="soun"), timescale=600) + fragment(
        Traf(1, [Run(samples(b"v", b"w", duration=90000), data_offset=0)], decode_time=0),
        Traf(2, [Run(samples(b"a", b"b", b"c", duration=48000), data_offset=0)], decode_time=0))
    out = _plexo.reset_mp4_timestamps(data)
    assert durations(out) == {"mvhd": [1800], "tkhd": [1200, 1800], "mdhd": [180000, 144000]}


def test_a_late_track_ends_where_its_samples_end_on_the_common_timeline():
    data = FTYP + moov(trak(1, 1000), trak(2, 1000, handler="soun")) + fragment(
        Traf(1, [Run(samples(b"v", duration=2000), data_offset=0)], decode_time=10000),
        Traf(2, [Run(samples(b"a", duration=2000), data_offset=0)], decode_time=10500))
    assert durations(_plexo.reset_mp4_timestamps(data))["mdhd"] == [2000, 2500]


def test_default_durations_count():
    data = FTYP + moov(trak(1, 1000)) + fragment(
        Traf(1, [Run([Sample(b"x"), Sample(b"y")], data_offset=0)], decode_time=7000, default_duration=400))
    assert durations(_plexo.reset_mp4_timestamps(data))["mdhd"] == [800]


def test_fragments_without_durations_last_as_long_as_the_gap_between_them():
    data = FTYP + moov(trak(1, 1000)) + b"".join(frag(1, 5000 + 2000 * i, (), sequence=i + 1) for i in range(3))
    # starts 0, 2000, 4000; the last one is taken to last as long as the gap before it
    assert durations(_plexo.reset_mp4_timestamps(data))["mdhd"] == [6000]


@pytest.mark.parametrize("version,expected", [(0, 0xFFFFFFFF), (1, 0x1_0000_0000)])
def test_a_duration_too_long_for_a_version_0_header_takes_its_largest_value(version, expected):
    data = FTYP + box("moov", mvhd(1000, version), trak(1, 1000, tkhd_version=version, mdhd_version=version)) + \
        frag(1, 0, (0xFFFFFFFF, 1))
    assert durations(_plexo.reset_mp4_timestamps(data)) == \
        {"mvhd": [expected], "tkhd": [expected], "mdhd": [expected]}


@pytest.mark.parametrize("version", [0, 1])
def test_creation_and_modification_times_become_zero(version):
    data = FTYP + box("moov", mvhd(1000, version), trak(1, 1000, tkhd_version=version, mdhd_version=version)) + \
        frag(1, 100)
    out = _plexo.reset_mp4_timestamps(data)
    for path in ("moov/mvhd", "moov/trak/tkhd", "moov/trak/mdia/mdhd"):
        assert header_times(box_payload(out, path), path[-4:])[:2] == (0, 0)


def test_a_file_without_fragments_keeps_its_durations():
    data = FTYP + moov(trak(1, 1000), trak(2, 48000, handler="soun")) + box("mdat", b"media")
    out = _plexo.reset_mp4_timestamps(data)
    assert durations(out) == durations(data)
    assert box_payload(out, "mdat") == b"media" and len(out) == len(data)


# ---- segment indexes -----------------------------------------------------------------------

@pytest.mark.parametrize("version", [0, 1])
def test_a_segment_index_moves_with_its_track_in_its_own_timescale(version):
    # track 2 (48 kHz) starts 20 ms after track 1 (90 kHz); its index counts in 1 kHz
    data = FTYP + moov(trak(1, 90000), trak(2, 48000, handler="soun")) + \
        sidx(1, 90000, 900000 + 3600, version=version) + sidx(2, 1000, 10020, version=version) + fragment(
            Traf(1, [Run(samples(b"v"), data_offset=0)], decode_time=900000),
            Traf(2, [Run(samples(b"a"), data_offset=0)], decode_time=480960))
    out = _plexo.reset_mp4_timestamps(data)
    indexes = [out[o + h:o + s] for k, o, s, h in iter_boxes(out) if k == "sidx"]
    assert [sidx_earliest_time(p) for p in indexes] == [3600, 20]
    assert [len(p) for p in indexes] == [len(p) for p in (box_payload(data, "sidx"),) * 2]


def test_a_segment_index_never_goes_below_zero():
    data = FTYP + moov(trak(1, 1000)) + sidx(1, 1000, 10) + frag(1, 5000)
    assert sidx_earliest_time(box_payload(_plexo.reset_mp4_timestamps(data), "sidx")) == 0


# ---- file structure ------------------------------------------------------------------------

def test_every_top_level_box_stays_in_place_with_its_bytes():
    styp = box("styp", b"msdh", u32(0))
    data = FTYP + box("free", b"abc") + moov(trak(1, 1000)) + styp + frag(1, 5000) + box("mfra", b"\x01" * 8)
    out = _plexo.reset_mp4_timestamps(data)
    assert [(k, o, s) for k, o, s, _ in iter_boxes(out)] == [(k, o, s) for k, o, s, _ in iter_boxes(data)]
    for kind in ("ftyp", "free", "styp", "mdat", "mfra"):
        assert box_payload(out, kind) == box_payload(data, kind)


def test_boxes_with_64_bit_sizes_keep_them_so_offsets_stay_valid():
    moof_and_mdat = frag(1, 5000)
    moof_size = int.from_bytes(moof_and_mdat[:4], "big")
    moof, mdat = moof_and_mdat[:moof_size], moof_and_mdat[moof_size:]
    wide_moof = large_box("moof", moof[8:])
    data = FTYP + large_box("moov", moov(trak(1, 1000))[8:]) + wide_moof + large_box("mdat", mdat[8:])
    out = _plexo.reset_mp4_timestamps(data)
    assert len(out) == len(data)
    assert [(k, o, s, h) for k, o, s, h in iter_boxes(out)] == [(k, o, s, h) for k, o, s, h in iter_boxes(data)]
    assert box_payload(out, "moof/traf/tfdt") == b"\x01\x00\x00\x00" + u64(0)


def test_trailing_bytes_too_short_for_a_box_are_kept():
    data = FTYP + moov(trak(1, 1000)) + frag(1, 5000) + b"\x00\x01\x02"
    out = _plexo.reset_mp4_timestamps(data)
    assert len(out) == len(data) and out.endswith(b"\x00\x01\x02")


def media_timescale(data: bytes) -> int:
    payload = box_payload(data, "moov/trak/mdia/mdhd")
    at = 20 if payload[0] == 1 else 12
    return int.from_bytes(payload[at:at + 4], "big")


@pytest.mark.parametrize("later", [moov(trak(1, 90000)), box("moov", box("moov", box("moov")))],
                         ids=["another-movie", "nested-junk"])
def test_the_first_moov_is_kept_and_a_later_one_dropped(later):
    """Readers play the first movie box; one appended later (a stale copy, or junk) must not
    take its place."""
    first = moov(trak(1, 1000))
    data = FTYP + first + frag(1, 5000) + later
    out = _plexo.reset_mp4_timestamps(data)
    assert [k for k, *_ in iter_boxes(out)] == ["ftyp", "moov", "moof", "mdat"]
    assert len(out) == len(data) - len(later)
    assert media_timescale(out) == 1000
    assert header_times(box_payload(out, "moov/trak/mdia/mdhd"), "mdhd")[2] == 1000


# ---- messages ------------------------------------------------------------------------------

def short_header(kind: str, version: int, length: int) -> bytes:
    return full_box(kind, version, 0, b"\x00" * (length - 4))


@pytest.mark.parametrize("data,message", [
    (FTYP + frag(1, 5000), "moov box not found"),
    (b"", "moov box not found"),
    (FTYP + box("moov", box("mvhd", b"\x00\x00")) + frag(1, 0), "Not enough data for FullBox header"),
    (FTYP + u32(1000) + b"moov" + b"\x00" * 100, "Box size 1000 exceeds available data"),
    (FTYP + moov(trak(1, 1000)) + box("moof", u32(1) + b"traf" + u32(0)), "Not enough data"),
])
def test_messages(data, message):
    with pytest.raises(ValueError) as error:
        _plexo.reset_mp4_timestamps(data)
    assert str(error.value) == message


def test_a_tfdt_too_short_for_its_header_is_refused():
    moof = box("moof", box("traf", full_box("tfhd", 0, 0, u32(1)), box("tfdt", b"\x01\x00")))
    with pytest.raises(ValueError, match="^Not enough data for FullBox header$"):
        _plexo.reset_mp4_timestamps(FTYP + moov(trak(1, 1000)) + moof)


@pytest.mark.parametrize("kind,version,length", [("mvhd", 0, 19), ("mdhd", 0, 19), ("tkhd", 0, 23),
                                                 ("mvhd", 1, 31), ("mdhd", 1, 31), ("tkhd", 1, 35)])
def test_headers_too_short_for_their_times_are_refused(kind, version, length):
    def movie(n: int) -> bytes:
        short = short_header(kind, version, n)
        trak_box = box("trak", short if kind == "tkhd" else tkhd(1),
                       box("mdia", short if kind == "mdhd" else mdhd(1000)))
        return box("moov", short if kind == "mvhd" else mvhd(), trak_box)
    with pytest.raises(ValueError, match=f"^{kind} box too short: version {version} needs {length + 1} bytes"):
        _plexo.reset_mp4_timestamps(FTYP + movie(length) + frag(1, 5000))
    # one byte more is enough
    longer = movie(length + 1)
    assert len(_plexo.reset_mp4_timestamps(FTYP + longer + frag(1, 5000))) == len(FTYP + longer + frag(1, 5000))


# ---- convert_mp4_reset_timestamps ----------------------------------------------------------

def test_convert_defragments_fragmented_input_and_resets_the_rest():
    fragmented = FTYP + moov(trak(1, 1000)) + frag(1, 5000)
    assert _plexo.convert_mp4_reset_timestamps(fragmented) == _plexo.defragment_mp4(fragmented)
    progressive = FTYP + moov(trak(1, 1000)) + box("mdat", b"media")
    assert _plexo.convert_mp4_reset_timestamps(progressive) == _plexo.reset_mp4_timestamps(progressive)
    with pytest.raises(ValueError, match="^moov box not found$"):
        _plexo.convert_mp4_reset_timestamps(FTYP + box("mdat", b"x"))
