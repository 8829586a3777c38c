"""FragmentedMP4Processor on hand-built segments: one rule per case."""
from __future__ import annotations

import random
import struct

import pytest

import _plexo
from builders import box, full_box, u32, u64
from builders import decode_times, mdat, moof, segment, tfdt, tfhd, traf, trun

Processor = _plexo.FragmentedMP4Processor


# ---- the base of a single track -----------------------------------------------------------


def test_first_tfdt_sets_the_base_and_later_segments_are_measured_from_it():
    p = Processor()
    assert p.base_decode_time is None
    first = p.process_segment(segment(traf(1, 9_000_000)))
    assert decode_times(first) == [(1, 0)]
    assert p.base_decode_time == 9_000_000
    second = p.process_segment(segment(traf(1, 9_180_000), sequence=2))
    assert decode_times(second) == [(1, 180_000)]
    assert p.base_decode_time == 9_000_000


# Media payloads of every size around the page-by-page copy of large pieces.
@pytest.mark.parametrize("media_size", [4, 20_479, 20_481, 7 * 4096 + 5, 1 << 20])
def test_only_the_time_field_changes(media_size):
    media = random.Random(media_size).randbytes(media_size)
    data = segment(traf(1, 0x0102030405060708)) + mdat(media)
    out = Processor().process_segment(data)
    assert len(out) == len(data)
    at = data.index(b"tfdt") + 8  # version/flags, then the 64-bit time
    assert out[:at] == data[:at] and out[at + 8 :] == data[at + 8 :]
    assert out[at : at + 8] == bytes(8)


@pytest.mark.parametrize("version", [0, 1])
def test_a_time_below_the_base_becomes_zero_and_keeps_its_width(version):
    p = Processor()
    p.process_segment(segment(traf(1, 50_000, version)))
    out = p.process_segment(segment(traf(1, 40_000, version)))
    assert decode_times(out) == [(1, 0)]
    at = out.index(b"tfdt") - 4
    assert struct.unpack(">I", out[at : at + 4])[0] == (20 if version == 1 else 16)


def test_version_0_times_are_32_bit():
    p = Processor()
    p.process_segment(segment(traf(1, 0xFFFF0000, 0)))
    assert decode_times(p.process_segment(segment(traf(1, 0xFFFFFFFF, 0)))) == [(1, 0xFFFF)]


@pytest.mark.parametrize("short_tfdt", [
    full_box("tfdt", 0, 0),                        # 12 bytes: no room for any time
    full_box("tfdt", 1, 0, u32(9_000_000)),        # version 1 with only 32 bits of time
])
def test_a_tfdt_too_short_for_its_time_is_copied_and_sets_nothing(short_tfdt):
    data = box("moof", box("traf", tfhd(1), short_tfdt, trun()))
    p = Processor()
    assert p.process_segment(data) == data
    assert p.base_decode_time is None


def test_two_trafs_of_one_track_share_its_base_and_never_go_negative():
    p = Processor()
    out = p.process_segment(segment(traf(1, 9_000_000), traf(1, 8_999_000)))
    assert decode_times(out) == [(1, 0), (1, 0)]
    assert p.base_decode_time == 9_000_000


# ---- without an initialisation segment: one base per track --------------------------------


def test_each_track_is_rebased_to_its_own_first_time():
    # Video at 90 kHz and audio at 48 kHz, joined an hour into the stream.
    p = Processor()
    out = p.process_segment(segment(traf(1, 324_000_000), traf(2, 172_800_000)))
    assert decode_times(out) == [(1, 0), (2, 0)]
    out = p.process_segment(segment(traf(1, 324_180_000), traf(2, 172_896_000), sequence=2))
    assert decode_times(out) == [(1, 180_000), (2, 96_000)]


def test_the_reported_base_is_that_of_the_first_track_met():
    p = Processor()
    p.process_segment(segment(traf(2, 5_000), traf(1, 9_000)))
    assert p.base_decode_time == 5_000
    p.process_segment(segment(traf(1, 10_000), traf(2, 6_000)))
    assert p.base_decode_time == 5_000


def test_a_track_first_met_in_a_later_segment_starts_at_zero():
    p = Processor()
    p.process_segment(segment(traf(1, 90_000)))
    out = p.process_segment(segment(traf(1, 180_000), traf(2, 48_000)))
    assert decode_times(out) == [(1, 90_000), (2, 0)]


def test_the_track_header_decides_even_when_it_follows_the_time():
    p = Processor()
    p.process_segment(segment(traf(1, 1_000), traf(2, 500)))
    late_header = box("traf", tfdt(700), tfhd(2), trun())
    assert decode_times(p.process_segment(box("moof", late_header))) == [(2, 200)]


def test_trafs_without_a_track_header_share_a_timeline_of_their_own():
    p = Processor()
    p.process_segment(segment(traf(1, 1_000), traf(None, 300)))
    out = p.process_segment(segment(traf(1, 2_000), traf(None, 400)))
    assert decode_times(out) == [(1, 1_000), (None, 100)]


def test_reset_clears_every_base():
    p = Processor()
    p.process_segment(segment(traf(1, 9_000_000), traf(2, 4_800_000)))
    assert p.reset() is None
    assert p.base_decode_time is None
    out = p.process_segment(segment(traf(1, 9_500_000), traf(2, 5_000_000)))
    assert decode_times(out) == [(1, 0), (2, 0)]
    assert p.base_decode_time == 9_500_000


# ---- what is copied ------------------------------------------------------------------------


def test_a_segment_without_moof_comes_back_unchanged_and_sets_no_base():
    data = box("styp", b"msdh") + mdat(b"\x00" * 100)
    p = Processor()
    assert p.process_segment(data) == data
    assert p.base_decode_time is None


def test_an_init_segment_without_a_movie_keeps_one_base_per_track():
    data = segment(traf(1, 9_000), traf(2, 4_000))
    without = Processor().process_segment(data)
    p = Processor()
    assert p.set_init_segment(b"\x00\x00\x00\x08free") is None
    assert p.process_segment(data) == without
    assert decode_times(without) == [(1, 0), (2, 0)]
    assert p.base_decode_time == 9_000


def test_empty_segment_gives_empty_output():
    assert Processor().process_segment(b"") == b""


# ---- cut-short boxes -----------------------------------------------------------------------


def test_a_cut_short_last_box_is_left_out():
    data = segment(traf(1, 9_000))
    whole = Processor().process_segment(data)
    cut = data[:-2]  # the mdat loses two bytes
    assert Processor().process_segment(cut) == whole[: data.rindex(b"mdat") - 4]


def test_fewer_than_eight_trailing_bytes_are_left_out():
    data = segment(traf(1, 9_000))
    assert Processor().process_segment(data + b"\x00\x00\x00") == Processor().process_segment(data)


def test_a_child_past_its_moof_ends_that_moof_but_not_the_segment():
    # The traf claims 100 bytes more than the moof holds; the moof keeps its header as it
    # came and the mdat after it is still copied.
    bad_traf = box("traf", tfhd(1), tfdt(9_000), size=200)
    mfhd = full_box("mfhd", 0, 0, u32(1))
    moof_box = box("moof", mfhd, bad_traf)
    data = moof_box + mdat()
    p = Processor()
    assert p.process_segment(data) == moof_box[:8] + mfhd + mdat()
    assert p.base_decode_time is None


def test_a_child_past_its_traf_ends_that_traf():
    # The trun header claims 64 bytes but only its 8-byte header is there.
    data = box("moof", box("traf", tfhd(1), tfdt(9_000), box("trun", size=64)))
    out = Processor().process_segment(data)
    # Both headers are kept as they came; the tfdt is rebased; the cut-short trun is dropped.
    assert out == u32(len(data)) + b"moof" + u32(len(data) - 8) + b"traf" + tfhd(1) + tfdt(0)


# ---- invalid sizes -------------------------------------------------------------------------


@pytest.mark.parametrize("size", [0, 1, 7])
@pytest.mark.parametrize("where", ["top", "moof", "traf"])
def test_a_size_below_eight_fails(size, where):
    bad = u32(size) + b"free"
    if where == "top":
        data = segment(traf(1, 9_000)) + bad + mdat()
    elif where == "moof":
        data = box("moof", traf(1, 9_000), bad)
    else:
        data = box("moof", box("traf", tfhd(1), tfdt(9_000), bad))
    p = Processor()
    with pytest.raises(ValueError) as raised:
        p.process_segment(data)
    assert raised.value.args == ("Invalid box size",)
    # The tfdt met before the fault has set the base, as it would in a complete call.
    assert p.base_decode_time == 9_000


def test_a_failure_before_any_tfdt_leaves_the_processor_as_it_was():
    p = Processor()
    p.process_segment(segment(traf(1, 9_000)))
    with pytest.raises(ValueError, match="^Invalid box size$"):
        p.process_segment(u32(4) + b"moof" + segment(traf(1, 1)))
    assert p.base_decode_time == 9_000
    assert decode_times(p.process_segment(segment(traf(1, 9_900)))) == [(1, 900)]
