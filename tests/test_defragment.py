"""defragment_mp4 on small built files: the output layout, the sample tables, where sample
bytes are read from, and the messages for files that are not fragmented MP4."""
from __future__ import annotations

import struct

import pytest

import _plexo
from builders import (box, box_payload, entries, find_box, full_box, iter_boxes, large_box, sample_bytes,
                      tables, u32, u64)
from builders import (FTYP, Run, Sample, Traf, edit_list, fragment, moov, mvhd, mvhd_fields, replace_box, samples,
                      trak, trex)
from conftest import peak_memory

FTYP_OUT = bytes.fromhex("00000020667479706973") + b"om" + u32(512) + b"isomiso2avc1mp41"


def one_track(*frags: bytes, timescale: int = 1000, trexes=()) -> bytes:
    return FTYP + moov(trak(1, timescale), trexes=trexes) + b"".join(frags)


# ---- layout ---------------------------------------------------------------------------------

def test_three_fragments_become_ftyp_moov_mdat_with_offsets_at_each_sample():
    frags = [fragment(Traf(1, [Run(samples(bytes([i]) * (10 + i), bytes([i + 100]) * 5), data_offset=0)]),
                      sequence=i + 1) for i in range(3)]
    out = _plexo.defragment_mp4(one_track(*frags))
    assert out[:32] == FTYP_OUT
    kinds = [k for k, *_ in iter_boxes(out)]
    assert kinds == ["ftyp", "moov", "mdat"]
    moov_size = find_box(out, "moov")[1]
    expected = b"".join(bytes([i]) * (10 + i) + bytes([i + 100]) * 5 for i in range(3))
    assert box_payload(out, "mdat") == expected
    t = tables(out)
    assert entries(t["stco"])[0] == 32 + moov_size + 8
    assert b"".join(sample_bytes(out)) == expected
    assert entries(t["stsc"], skip=4) == [1, 1, 1, 1]  # one entry: (1, 1, 1)


def test_tracks_are_laid_out_one_after_another_in_trak_order():
    frag = fragment(Traf(2, [Run(samples(b"A" * 7, b"B" * 3), data_offset=0)]),
                    Traf(1, [Run(samples(b"v" * 20), data_offset=0)]))
    data = FTYP + moov(trak(1, 90000), trak(2, 48000, handler="soun")) + frag
    out = _plexo.defragment_mp4(data)
    assert box_payload(out, "mdat") == b"v" * 20 + b"A" * 7 + b"B" * 3
    assert entries(tables(out, 1)["stco"])[0] == entries(tables(out, 0)["stco"])[0] + 20
    assert sample_bytes(out, 1) == [b"A" * 7, b"B" * 3]


def test_stts_runs_ctts_and_mvex_kept():
    runs = [Run([Sample(b"a", 1000, cto=0), Sample(b"b", 1000, cto=2000), Sample(b"c", 2000, cto=0)],
                data_offset=0)]
    data = FTYP + moov(trak(1, 1000), trexes=(trex(1),)) + fragment(Traf(1, runs))
    out = _plexo.defragment_mp4(data)
    t = tables(out)
    assert entries(t["stts"], 2) == [(2, 1000), (1, 2000)]
    assert entries(t["ctts"], 2) == [(1, 0), (1, 2000), (1, 0)]
    assert find_box(out, "moov/mvex/trex") is not None


def test_no_ctts_when_every_offset_is_zero():
    out = _plexo.defragment_mp4(one_track(fragment(Traf(1, [Run(samples(b"a", b"b"), data_offset=0)]))))
    assert "ctts" not in tables(out)


def test_negative_composition_offsets_are_raised_to_unsigned():
    runs = [Run([Sample(b"a", 512, cto=0), Sample(b"b", 512, cto=-512), Sample(b"c", 512, cto=512)],
                data_offset=0, version=1)]
    out = _plexo.defragment_mp4(one_track(fragment(Traf(1, runs))))
    assert entries(tables(out)["ctts"], 2) == [(1, 512), (1, 0), (1, 1024)]


def test_headers_take_new_durations_and_tkhd_counts_in_movie_timescale():
    run = Run(samples(b"a", b"b", b"c", duration=30000), data_offset=0)
    data = FTYP + moov(trak(1, 90000), timescale=1000) + fragment(Traf(1, [run]))
    out = _plexo.defragment_mp4(data)
    mvhd_p = box_payload(out, "moov/mvhd")
    tkhd_p = box_payload(out, "moov/trak/tkhd")
    mdhd_p = box_payload(out, "moov/trak/mdia/mdhd")
    assert struct.unpack(">I", mvhd_p[16:20])[0] == 1000       # 90000 ticks at 90 kHz: 1 s
    assert struct.unpack(">I", tkhd_p[20:24])[0] == 1000       # movie timescale, not 90000
    assert struct.unpack(">I", mdhd_p[16:20])[0] == 90000
    assert mvhd_p[4:12] == tkhd_p[4:12] == mdhd_p[4:12] == b"\0" * 8


def test_durations_past_32_bits_take_version_1_headers():
    run = Run(samples(b"a", b"b", duration=0xFFFFFFFF), data_offset=0)
    data = FTYP + moov(trak(1, 90000), timescale=90000) + fragment(Traf(1, [run]))
    out = _plexo.defragment_mp4(data)
    # version 1: 64-bit times, the duration after timescale (and track ID with its reserved word)
    for path, duration_at in (("moov/mvhd", 24), ("moov/trak/tkhd", 28), ("moov/trak/mdia/mdhd", 24)):
        payload = box_payload(out, path)
        assert payload[0] == 1, path
        assert struct.unpack(">Q", payload[duration_at:duration_at + 8])[0] == 2 * 0xFFFFFFFF, path


def test_headers_too_short_to_rewrite_are_kept_and_the_timescale_defaults():
    short_mdhd = full_box("mdhd", 0, 0, u32(1), u32(2), u32(90000))   # no duration, no language
    t = trak(1, 90000, media_header=short_mdhd)
    data = FTYP + box("moov", mvhd(1000), t) + \
        fragment(Traf(1, [Run(samples(b"x", duration=5000), data_offset=0)]))
    out = _plexo.defragment_mp4(data)
    assert box_payload(out, "moov/trak/mdia/mdhd") == short_mdhd[8:]
    # the track counts in 1000 ticks a second, like the movie: 5000 ticks are 5 seconds
    assert struct.unpack(">I", box_payload(out, "moov/mvhd")[16:20])[0] == 5000


def test_version1_headers_become_version0():
    t = trak(1, 90000, tkhd_version=1, mdhd_version=1)
    data = FTYP + box("moov", mvhd(600, version=1, next_track=7), t) + \
        fragment(Traf(1, [Run(samples(b"x", duration=90000), data_offset=0)]))
    out = _plexo.defragment_mp4(data)
    mvhd_p = box_payload(out, "moov/mvhd")
    assert len(mvhd_p) == 100 and mvhd_p[0] == 0
    assert struct.unpack(">III", mvhd_p[12:24]) == (600, 600, 0x00010000)
    assert mvhd_fields(out)[2] == 7
    tkhd_p = box_payload(out, "moov/trak/tkhd")
    assert len(tkhd_p) == 84 and struct.unpack(">I", tkhd_p[12:16])[0] == 1
    assert struct.unpack(">I", tkhd_p[20:24])[0] == 600
    assert struct.unpack(">II", tkhd_p[76:84]) == (320 << 16, 240 << 16)
    mdhd_p = box_payload(out, "moov/trak/mdia/mdhd")
    assert len(mdhd_p) == 24 and struct.unpack(">II", mdhd_p[12:20]) == (90000, 90000)


@pytest.mark.parametrize("data, message", [
    # fragments only for a track ID that no trak declares
    (FTYP + moov(trak(1, 1000)) + fragment(Traf(9, [Run(samples(b"zz"), data_offset=0)])),
     "No samples found for the tracks of the moov box"),
    # a movie box without any trak
    (FTYP + moov() + fragment(Traf(1, [Run(samples(b"a"), data_offset=0)])), "moov box has no trak"),
])
def test_a_movie_without_samples_is_refused(data, message):
    with pytest.raises(ValueError) as error:
        _plexo.defragment_mp4(data)
    assert str(error.value) == message


# ---- sample flags ----------------------------------------------------------------------------

def sync_numbers(out: bytes):
    t = tables(out)
    return entries(t["stss"]) if "stss" in t else None


@pytest.mark.parametrize("flags, expected", [
    ([0x02000000, 0x01010000, 0x01010000, 0x02000000], [1, 4]),
    ([0, 0, 0], [1, 2, 3]),
    ([0x00010000, 0x02000000, 0x01000000], [2]),   # non-sync bit alone marks a non-sync sample
    ([0x01010000] * 3, []),                        # no sync sample: an empty table, not none
])
def test_sync_samples_follow_non_sync_bit_and_depends_on(flags, expected):
    run = Run([Sample(b"s", 1, f) for f in flags], data_offset=0)
    assert sync_numbers(_plexo.defragment_mp4(one_track(fragment(Traf(1, [run]))))) == expected


def test_first_sample_flags_apply_to_first_sample_over_tfhd_default():
    # ffmpeg's own style: default flags "non-sync", first sample flags "sync"
    run = Run(samples(b"a", b"b", b"c"), data_offset=0, first_flags=0x02000000)
    frag = fragment(Traf(1, [run], default_flags=0x01010000), Traf(1, [Run(samples(b"d"), data_offset=0)],
                                                                  default_flags=0x01010000))
    assert sync_numbers(_plexo.defragment_mp4(one_track(frag))) == [1]


def test_trex_defaults_fill_what_tfhd_leaves_out():
    run = Run([Sample(b"a"), Sample(b"b"), Sample(b"c")], data_offset=0, first_flags=0x02000000)
    data = one_track(fragment(Traf(1, [run])), trexes=(trex(1, duration=40, flags=0x01010000),))
    out = _plexo.defragment_mp4(data)
    assert entries(tables(out)["stts"], 2) == [(3, 40)]
    assert sync_numbers(out) == [1]


def test_tfhd_defaults_win_over_trex_and_size_default_reads_bytes():
    run = Run([Sample(b"1234"), Sample(b"5678")], data_offset=0, sizes=False)
    t = Traf(1, [run], default_duration=25, default_size=4, default_flags=0)
    out = _plexo.defragment_mp4(one_track(fragment(t), trexes=(trex(1, duration=99, size=1),)))
    assert entries(tables(out)["stts"], 2) == [(2, 25)]
    assert sample_bytes(out) == [b"1234", b"5678"]


def test_the_first_tfhd_of_a_traf_names_its_track_and_gives_its_defaults():
    first = full_box("tfhd", 0, 0x020008, u32(1), u32(40))    # track 1, default duration 40
    later = full_box("tfhd", 0, 0x020008, u32(2), u32(99))    # never read
    frag = fragment(Traf(1, [Run(samples(b"abc", duration=None), data_offset=0)]))
    frag = replace_box(frag, "moof/traf/tfhd", first + later)
    frag = _with_offset(frag, len(frag) - len(box("mdat", b"abc")) + 8)  # the grown moof's mdat
    data = FTYP + moov(trak(1, 1000), trak(2, 1000)) + frag
    out = _plexo.defragment_mp4(data)
    assert sample_bytes(out, 0) == [b"abc"] and sample_bytes(out, 1) == []
    assert entries(tables(out, 0)["stts"], 2) == [(1, 40)]


# ---- where sample bytes are --------------------------------------------------------------------

def test_base_data_offset_addresses_bytes_anywhere_in_the_file():
    # The sample bytes sit in an mdat before the movie fragment; tfhd names their position.
    head = FTYP + moov(trak(1, 1000))
    early = box("mdat", b"EARLY-BYTES")
    position = len(head) + 8
    frag = fragment(Traf(1, [Run(samples(b"x" * 5, b"y" * 6), data_offset=0)], base_is_moof=False,
                         base_data_offset=position))
    # data offset 0 from the base: the first run starts at the base itself
    data = head + early + _with_offset(frag, 0)
    out = _plexo.defragment_mp4(data)
    assert sample_bytes(out) == [b"EARLY", b"-BYTES"]


def _with_offset(frag: bytes, value: int) -> bytes:
    """Rewrites the data offset of the only trun in a fragment."""
    at = frag.index(b"trun") + 4 + 4 + 4
    return frag[:at] + struct.pack(">i", value) + frag[at + 4:]


def test_run_without_data_offset_continues_after_previous_run():
    r1 = Run(samples(b"aa", b"bb"), data_offset=0)
    r2 = Run(samples(b"cc", b"d"), data_offset=None)
    out = _plexo.defragment_mp4(one_track(fragment(Traf(1, [r1, r2]))))
    assert sample_bytes(out) == [b"aa", b"bb", b"cc", b"d"]


def test_second_traf_without_base_continues_after_first_trafs_data():
    t1 = Traf(1, [Run(samples(b"V1", b"V2"), data_offset=0)], base_is_moof=False)
    t2 = Traf(2, [Run(samples(b"A1x", b"A2x"), data_offset=None)], base_is_moof=False)
    data = FTYP + moov(trak(1, 1000), trak(2, 1000)) + fragment(t1, t2)
    out = _plexo.defragment_mp4(data)
    assert sample_bytes(out, 0) == [b"V1", b"V2"]
    assert sample_bytes(out, 1) == [b"A1x", b"A2x"]


def test_two_moofs_before_one_mdat_both_count():
    f1 = fragment(Traf(1, [Run(samples(b"one"), data_offset=0)]), sequence=1)
    moof1, mdat1 = f1[:-11], f1[-11:]
    # moof 2 points at the bytes after mdat1's payload; both moofs precede their data
    f2 = fragment(Traf(1, [Run(samples(b"two"), data_offset=0)]), sequence=2)
    moof2 = f2[:-11]
    head = FTYP + moov(trak(1, 1000))
    start1 = len(head) + len(moof1) + len(moof2) + 8
    m1 = _with_offset(moof1, start1 - len(head))
    m2 = _with_offset(moof2, start1 + 3 - len(head) - len(moof1))
    data = head + m1 + m2 + box("mdat", b"onetwo")
    assert sample_bytes(_plexo.defragment_mp4(data)) == [b"one", b"two"]


def _container_bytes_case(case: str) -> bytes:
    """A fragment whose run points at container bytes, then a good fragment of b"good"."""
    good = fragment(Traf(1, [Run(samples(b"good"), data_offset=0)]), sequence=2)
    if case == "moof, moof, mdat":
        # a moof copied ahead of its twin: its offset lands inside the second moof
        moof_len = len(good) - 12
        return one_track(good[:moof_len] + good)
    if case == "no data offset":
        return one_track(fragment(Traf(1, [Run(samples(b"BAD!"), data_offset=None)])), good)
    bad = fragment(Traf(1, [Run(samples(b"BAD!"), data_offset=0)]))
    moof_len = len(bad) - 12
    value = {"data offset 0": 0, "data offset 8": 8, "into the mdat header": moof_len + 7}[case]
    return one_track(_with_offset(bad, value), good)


@pytest.mark.parametrize("case", ["data offset 0", "data offset 8", "into the mdat header",
                                  "no data offset", "moof, moof, mdat"])
def test_samples_come_only_from_mdat_payloads(case):
    data = _container_bytes_case(case)
    assert sample_bytes(_plexo.defragment_mp4(data)) == [b"good"]
    assert [t["samples"] for t in _plexo._probe(data)["tracks"]] == [1]


def test_sample_outside_input_ends_its_run_in_tables_and_data():
    frag = fragment(Traf(1, [Run(samples(b"a" * 4, b"b" * 4, b"c" * 4), data_offset=0)]))
    # stretch the second sample's size past the end of the file
    sizes_at = frag.index(b"trun") + 4 + 4 + 4 + 4  # version/flags, count, data offset
    second_size = sizes_at + 8 + 4                   # (duration, size) per sample
    frag = frag[:second_size] + u32(10_000) + frag[second_size + 4:]
    out = _plexo.defragment_mp4(one_track(frag))
    assert sample_bytes(out) == [b"a" * 4]
    assert box_payload(out, "mdat") == b"a" * 4


@pytest.mark.parametrize("count", [3, 0xFFFFFFFF])
def test_a_run_with_a_table_ends_with_its_table(count):
    """A sample count beyond the run's table does not read the bytes that follow as more
    samples of the default size."""
    frag = fragment(Traf(1, [Run(samples(b"a" * 4, b"b" * 4), data_offset=0)], default_size=4))
    count_at = frag.index(b"trun") + 8
    frag = frag[:count_at] + u32(count) + frag[count_at + 4:]
    out = _plexo.defragment_mp4(one_track(frag) + box("free", b"c" * 64))
    assert sample_bytes(out) == [b"a" * 4, b"b" * 4]


def test_a_trak_without_track_header_is_left_out():
    junk = box("trak", box("trak", box("trak")))
    data = FTYP + moov(trak(1, 1000), junk) + fragment(Traf(1, [Run(samples(b"abc"), data_offset=0)]))
    out = _plexo.defragment_mp4(data)
    assert [kind for kind, *_ in iter_boxes(box_payload(out, "moov"))] == ["mvhd", "trak"]
    assert sample_bytes(out) == [b"abc"]


def test_a_movie_of_traks_without_track_headers_is_refused():
    data = FTYP + moov(box("trak", box("mdia"))) + fragment(Traf(0, [Run(samples(b"abc"), data_offset=0)]))
    with pytest.raises(ValueError, match="^moov box has no trak$"):
        _plexo.defragment_mp4(data)


def test_data_offset_before_the_file_drops_the_run():
    frag = _with_offset(fragment(Traf(1, [Run(samples(b"abc"), data_offset=0)])), -10_000)
    later = fragment(Traf(1, [Run(samples(b"de"), data_offset=0)]), sequence=2)
    out = _plexo.defragment_mp4(one_track(frag, later))
    assert sample_bytes(out) == [b"de"]


# ---- relative start of tracks -------------------------------------------------------------------

def two_tracks(video_start: int, audio_start: int, audio_extra: bytes = b"") -> bytes:
    v = Traf(1, [Run(samples(b"v" * 3, b"v" * 3, duration=45000), data_offset=0)], decode_time=video_start)
    a = Traf(2, [Run(samples(b"a", b"a", duration=48000), data_offset=0)], decode_time=audio_start)
    return FTYP + moov(trak(1, 90000), trak(2, 48000, handler="soun", extra=audio_extra)) + fragment(v, a)


def test_later_starting_track_gets_an_empty_edit_of_the_difference():
    out = _plexo.defragment_mp4(two_tracks(0, 24000))    # audio 0.5 s after the video
    assert edit_list(out, 0) is None
    assert edit_list(out, 1) == [(500, -1, 0x10000), (2000, 0, 0x10000)]
    mvhd_p = box_payload(out, "moov/mvhd")
    assert struct.unpack(">I", mvhd_p[16:20])[0] == 2500    # the audio ends 2.5 s in


def test_equal_starts_in_different_timescales_write_no_edits():
    out = _plexo.defragment_mp4(two_tracks(90000 * 10, 48000 * 10))
    assert edit_list(out, 0) is None and edit_list(out, 1) is None


def test_own_edit_list_is_kept_and_follows_the_new_empty_edit():
    own = box("edts", full_box("elst", 0, 0, u32(1), u32(2000), u32(1024), u32(0x10000)))
    out = _plexo.defragment_mp4(two_tracks(0, 0, audio_extra=own))
    assert edit_list(out, 1) == [(2000, 1024, 0x10000)]
    out = _plexo.defragment_mp4(two_tracks(0, 48000, audio_extra=own))
    assert edit_list(out, 1) == [(1000, -1, 0x10000), (2000, 1024, 0x10000)]


# ---- messages ----------------------------------------------------------------------------------

@pytest.mark.parametrize("data, message", [
    (b"", "Not a fragmented MP4"),
    (FTYP + moov(trak(1, 1000)) + box("mdat", b"xyz"), "Not a fragmented MP4"),
    (fragment(Traf(1, [Run(samples(b"a"), data_offset=0)])), "moov box not found"),
    (u32(1000) + b"ftyp" + b"\0" * 492, "Box size 1000 exceeds available data"),
    (FTYP + large_box("free", b"12345678", largesize=1 << 40), f"Box size {1 << 40} exceeds available data"),
    (FTYP + u32(1) + b"free" + b"\0\0\0\0", "Not enough data"),
])
def test_refusals(data, message):
    with pytest.raises(ValueError) as error:
        _plexo.defragment_mp4(data)
    assert str(error.value) == message


def test_not_enough_data_inside_moov():
    bad_moov = box("moov", mvhd(), u32(1) + b"trak" + b"\0\0")
    data = FTYP + bad_moov + fragment(Traf(1, [Run(samples(b"a"), data_offset=0)]))
    with pytest.raises(ValueError, match="^Not enough data$"):
        _plexo.defragment_mp4(data)


# ---- memory ------------------------------------------------------------------------------------

@pytest.mark.memory_bound
def test_one_byte_samples_take_memory_near_the_output_size():
    count = 1_000_000
    tfhd = full_box("tfhd", 0, 0x020008, u32(1), u32(1))            # default duration 1
    head = FTYP + moov(trak(1, 1000))
    moof_size = 8 + 16 + 8 + len(tfhd) + 20 + 4 * count            # mfhd, traf, trun
    trun = full_box("trun", 0, 0x201, u32(count), u32(moof_size + 8), b"\0\0\0\1" * count)
    moof = box("moof", full_box("mfhd", 0, 0, u32(1)), box("traf", tfhd, trun))
    assert len(moof) == moof_size
    data = head + moof + box("mdat", bytes(range(256)) * (count // 256) + b"x" * (count % 256))
    found = peak_memory("defragment_mp4", [data])
    assert found["out"] > 12 * count                      # stsz, stco and stss: 12 bytes a sample
    assert found["grown"] < 3 * found["out"], found["grown"] / found["out"]
