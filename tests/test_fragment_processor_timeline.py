"""FragmentedMP4Processor: with an initialisation segment every track moves back by one time,
so the tracks stay in sync; segment indexes move with the fragments they index; the state
stays small however many tracks a stream names. Hand-built segments, one rule per case."""
from __future__ import annotations

import ctypes
import struct

import pytest

import _plexo
from conftest import scaling
from builders import (FTYP, decode_times, mdat, moof, moov, segment, segment_indexes, sidx, traf,
                      trak, u32)

Processor = _plexo.FragmentedMP4Processor

VIDEO, AUDIO = 1, 2
HOUR_90K, HOUR_48K = 3600 * 90_000, 3600 * 48_000


def init_segment(*tracks: tuple[int, int], version: int = 0) -> bytes:
    """An initialisation segment whose movie has one track per (track_ID, timescale)."""
    traks = [trak(track_id, timescale, tkhd_version=version, mdhd_version=version)
             for track_id, timescale in tracks]
    return FTYP + moov(*traks)


def processor(*tracks: tuple[int, int], version: int = 0) -> _plexo.FragmentedMP4Processor:
    p = Processor()
    p.set_init_segment(init_segment(*tracks, version=version))
    return p


AV = ((VIDEO, 90_000), (AUDIO, 48_000))


# ---- one start time for every track ---------------------------------------------------------


@pytest.mark.parametrize("version", [0, 1])
def test_tracks_keep_their_offset_across_timescales(version):
    # Audio starts 1000/48000 s after the video: it keeps those 1000 ticks.
    p = processor(*AV, version=version)
    out = p.process_segment(segment(traf(VIDEO, HOUR_90K), traf(AUDIO, HOUR_48K + 1_000)))
    assert decode_times(out) == [(VIDEO, 0), (AUDIO, 1_000)]
    out = p.process_segment(segment(traf(VIDEO, HOUR_90K + 180_000), traf(AUDIO, HOUR_48K + 97_000)))
    assert decode_times(out) == [(VIDEO, 180_000), (AUDIO, 97_000)]


def test_the_earliest_track_starts_at_zero_whichever_comes_first():
    # The video (met first) starts 0.1 s after the audio.
    p = processor(*AV)
    out = p.process_segment(segment(traf(VIDEO, HOUR_90K + 9_000), traf(AUDIO, HOUR_48K)))
    assert decode_times(out) == [(VIDEO, 9_000), (AUDIO, 0)]
    # The reported base is the first track's, in its own units.
    assert p.base_decode_time == HOUR_90K


def test_the_earliest_time_in_a_later_moof_of_the_first_segment_counts():
    p = processor(*AV)
    data = moof(traf(VIDEO, HOUR_90K + 90_000)) + mdat() + moof(traf(AUDIO, HOUR_48K)) + mdat()
    assert decode_times(p.process_segment(data)) == [(VIDEO, 90_000), (AUDIO, 0)]


def test_conversion_is_exact_for_large_times():
    # 10^12 s: 4.8e16 ticks at 48 kHz, beyond what a double holds to the tick.
    seconds = 10**12
    p = processor(*AV)
    out = p.process_segment(segment(traf(VIDEO, seconds * 90_000), traf(AUDIO, seconds * 48_000 + 7)))
    assert decode_times(out) == [(VIDEO, 0), (AUDIO, 7)]


def test_a_base_between_ticks_is_rounded_down():
    # The stream starts at 5/3 s: 1666.67 ticks of the 1 kHz track, whose base is 1666.
    p = processor((1, 3), (2, 1_000))
    out = p.process_segment(segment(traf(1, 5), traf(2, 1_667)))
    assert decode_times(out) == [(1, 0), (2, 1)]
    out = p.process_segment(segment(traf(1, 8), traf(2, 2_667)))
    assert decode_times(out) == [(1, 3), (2, 1_001)]


def test_a_later_time_below_the_base_becomes_zero():
    p = processor(*AV)
    p.process_segment(segment(traf(VIDEO, HOUR_90K), traf(AUDIO, HOUR_48K)))
    out = p.process_segment(segment(traf(VIDEO, HOUR_90K - 1), traf(AUDIO, HOUR_48K - 48_000)))
    assert decode_times(out) == [(VIDEO, 0), (AUDIO, 0)]


def test_a_described_track_first_met_later_is_measured_from_the_stream_start():
    p = processor(*AV)
    p.process_segment(segment(traf(VIDEO, HOUR_90K)))
    out = p.process_segment(segment(traf(VIDEO, HOUR_90K + 90_000), traf(AUDIO, HOUR_48K + 48_000)))
    assert decode_times(out) == [(VIDEO, 90_000), (AUDIO, 48_000)]


def test_a_track_the_init_segment_does_not_describe_starts_at_its_own_zero():
    p = processor((VIDEO, 90_000))
    out = p.process_segment(segment(traf(VIDEO, HOUR_90K), traf(3, 5_000_000)))
    assert decode_times(out) == [(VIDEO, 0), (3, 0)]
    out = p.process_segment(segment(traf(VIDEO, HOUR_90K + 90_000), traf(3, 5_001_000)))
    assert decode_times(out) == [(VIDEO, 90_000), (3, 1_000)]


@pytest.mark.parametrize("init", [
    None,                                   # no initialisation segment at all
    FTYP,                                   # no movie box
    FTYP + moov(trak(VIDEO, 0)),            # a timescale of 0 says nothing
    FTYP + moov()[:-4],                     # a movie box cut short
], ids=["none", "no-moov", "timescale-0", "cut-short"])
def test_without_timescales_each_track_keeps_its_own_base(init):
    p = Processor()
    if init is not None:
        p.set_init_segment(init)
    out = p.process_segment(segment(traf(VIDEO, HOUR_90K), traf(AUDIO, HOUR_48K + 1_000)))
    assert decode_times(out) == [(VIDEO, 0), (AUDIO, 0)]
    assert p.base_decode_time == HOUR_90K


def test_reset_clears_the_start_and_keeps_the_init_segment():
    p = processor(*AV)
    p.process_segment(segment(traf(VIDEO, HOUR_90K), traf(AUDIO, HOUR_48K)))
    p.reset()
    assert p.base_decode_time is None
    out = p.process_segment(segment(traf(VIDEO, 2 * HOUR_90K), traf(AUDIO, 2 * HOUR_48K + 480)))
    assert decode_times(out) == [(VIDEO, 0), (AUDIO, 480)]
    assert p.base_decode_time == 2 * HOUR_90K


def test_a_failed_call_still_sets_the_start_from_the_times_before_the_fault():
    p = processor(*AV)
    data = moof(traf(AUDIO, HOUR_48K + 4_800), traf(VIDEO, HOUR_90K)) + u32(4) + b"free"
    with pytest.raises(ValueError, match="^Invalid box size$"):
        p.process_segment(data)
    assert p.base_decode_time == HOUR_48K  # the audio, met first, at 3600 s in its units
    out = p.process_segment(segment(traf(VIDEO, HOUR_90K + 900), traf(AUDIO, HOUR_48K + 4_800)))
    assert decode_times(out) == [(VIDEO, 900), (AUDIO, 4_800)]


# ---- segment indexes ----------------------------------------------------------------------


@pytest.mark.parametrize("version", [0, 1])
def test_an_index_moves_back_with_its_reference_track(version):
    p = processor(*AV)
    data = (sidx(VIDEO, 90_000, HOUR_90K + 3_600, version=version)
            + sidx(AUDIO, 48_000, HOUR_48K + 2_000, version=version)
            + moof(traf(VIDEO, HOUR_90K), traf(AUDIO, HOUR_48K + 1_000)) + mdat())
    out = p.process_segment(data)
    assert len(out) == len(data)
    assert segment_indexes(out) == [(version, VIDEO, 90_000, 3_600), (version, AUDIO, 48_000, 2_000)]


def test_an_index_counts_the_shift_in_its_own_timescale():
    # The video moves back 3600 s; its index counts in milliseconds.
    p = processor(*AV)
    data = sidx(VIDEO, 1_000, 3_600_000 + 40) + moof(traf(VIDEO, HOUR_90K)) + mdat()
    assert segment_indexes(p.process_segment(data)) == [(0, VIDEO, 1_000, 40)]


def test_without_an_init_segment_an_index_moves_as_far_as_its_track():
    p = Processor()
    data = sidx(AUDIO, 48_000, 500_000) + moof(traf(VIDEO, 9_000), traf(AUDIO, 480_000)) + mdat()
    assert segment_indexes(p.process_segment(data)) == [(0, AUDIO, 48_000, 20_000)]


def test_an_index_never_goes_below_zero():
    p = processor(*AV)
    data = sidx(AUDIO, 48_000, 1_000, version=1) + moof(traf(AUDIO, HOUR_48K)) + mdat()
    assert segment_indexes(p.process_segment(data)) == [(1, AUDIO, 48_000, 0)]


def test_an_index_of_a_track_without_a_base_is_left_as_it_is():
    p = Processor()
    data = sidx(7, 48_000, 500_000) + moof(traf(VIDEO, 9_000)) + mdat()
    assert segment_indexes(p.process_segment(data)) == [(0, 7, 48_000, 500_000)]


def test_an_index_in_a_later_segment_uses_the_same_base():
    p = processor(*AV)
    p.process_segment(segment(traf(VIDEO, HOUR_90K)))
    data = sidx(AUDIO, 48_000, HOUR_48K + 48_000) + mdat()  # no fragment in this one
    assert segment_indexes(p.process_segment(data)) == [(0, AUDIO, 48_000, 48_000)]


# ---- many tracks ----------------------------------------------------------------------------


def many_tracks(first_id: int, count: int, start: int) -> bytes:
    """One moof with `count` trafs of consecutive track_IDs, each at time `start`."""
    template = traf(0, start)
    at = template.index(b"tfhd") + 8  # the track_ID after the tfhd's version and flags
    head, tail = template[:at], template[at + 4 :]
    return moof(*(head + struct.pack(">I", first_id + i) + tail for i in range(count)))


def test_two_hundred_thousand_track_ids_take_linear_time():
    data = many_tracks(1, 200_000, 9_000)
    assert len(Processor().process_segment(data)) == len(data)
    growth = scaling(lambda d: Processor().process_segment(d), lambda n: many_tracks(1, n, 9_000), 50_000)
    assert growth < 9, f"four times the track IDs took {growth:.1f} times as long"


def test_tracks_beyond_the_remembered_limit_share_the_first_tracks_base():
    limit = 4096
    p = Processor()
    p.process_segment(many_tracks(1, limit, 1_000))
    out = p.process_segment(moof(traf(limit + 1, 5_000), traf(2, 1_500)))
    assert decode_times(out) == [(limit + 1, 4_000), (2, 500)]
    assert p.base_decode_time == 1_000


class _MallocInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def allocated_bytes() -> int:
    """Bytes the C allocator has handed out and not had back (glibc's count)."""
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = _MallocInfo
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def test_state_stays_bounded_across_segments_of_new_track_ids():
    p = Processor()
    for n in range(20):  # warm up: the remembered tracks fill up
        p.process_segment(many_tracks(1 + n * 1_000, 1_000, 9_000))
    before = allocated_bytes()
    for n in range(20, 400):
        p.process_segment(many_tracks(1 + n * 1_000, 1_000, 9_000))
    grown = allocated_bytes() - before
    # 380,000 more track IDs: remembering each would take well over 10 MB.
    assert grown < 1 << 20, f"allocated memory grew by {grown} bytes"
