"""reset_mp4_timestamps on damaged and hostile files: a result or ValueError, never a crash, and
nothing allocated or looped over because of a number the file states."""
from __future__ import annotations

import random

import pytest

import _plexo
from builders import FTYP, Refused, box, decode_times, full_box, iter_boxes, moov, outcome, trak, u32
from conftest import peak_memory, scaling

REAL = ["reset_av_3600.mp4", "reset_ids_9_7.mp4", "frag_gstreamer.mp4", "prog_faststart.mp4"]


@pytest.mark.parametrize("name", REAL)
def test_truncated_files_do_not_crash(name, fixture_bytes):
    data = fixture_bytes(name)
    for cut in sorted({*range(0, 2048, 37), *range(0, len(data), max(1, len(data) // 60))}):
        result = outcome(_plexo.reset_mp4_timestamps, data[:cut])
        # whatever is returned is the input's length: nothing is invented or lost
        assert isinstance(result, Refused) or len(result) <= cut


@pytest.mark.parametrize("name", REAL)
def test_bit_flipped_files_do_not_crash(name, fixture_bytes):
    data = fixture_bytes(name)
    rng = random.Random(name)
    head = min(len(data), 4096)  # the metadata, where flips change the structure
    for _ in range(300):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            damaged[rng.randrange(head)] ^= 1 << rng.randrange(8)
        outcome(_plexo.reset_mp4_timestamps, bytes(damaged))


@pytest.mark.memory_bound
@pytest.mark.parametrize("traf", [
    # a run announcing 2^32 - 1 samples of the default size 1 and duration 1000
    box("traf", full_box("tfhd", 0, 0x020018, u32(1), u32(1000), u32(1)),
        full_box("tfdt", 0, 0, u32(5)), full_box("trun", 0, 0, u32(0xFFFFFFFF))),
    # the largest track ID, and a run of 2^32 - 1 samples whose table is missing
    box("traf", full_box("tfhd", 0, 0x020000, u32(0xFFFFFFFF)), full_box("trun", 0, 0x300, u32(0xFFFFFFFF))),
])
def test_stated_counts_and_ids_cost_nothing(traf):
    moof = box("moof", full_box("mfhd", 0, 0, u32(1)), *[traf] * 200)
    data = FTYP + moov(trak(1, 1000)) + moof + box("mdat", b"\x00" * 4096)
    found = peak_memory("reset_mp4_timestamps", [data])
    assert found["out"] == len(data)
    assert found["grown"] < 32 << 20
    assert found["seconds"] < 2


@pytest.mark.memory_bound
def test_many_track_ids_are_bounded_by_the_file():
    trafs = [box("traf", full_box("tfhd", 0, 0x020000, u32(0xFFFFFFFF - i)), full_box("tfdt", 0, 0, u32(i)))
             for i in range(20000)]
    data = FTYP + moov(trak(1, 1000)) + box("moof", *trafs)
    out = _plexo.reset_mp4_timestamps(data)
    # every track is its own: each moves to its own zero
    assert out[-4:] == u32(0) and len(out) == len(data)
    assert peak_memory("reset_mp4_timestamps", [data])["grown"] < 64 << 20


def test_many_moov_boxes_and_fragments_stay_linear():
    # every moov but the first is dropped, so each one splits the copy
    movies = b"".join(box("moov", box("free", b"x" * i)) for i in range(20000))
    moof = box("moof", *[box("traf", full_box("tfhd", 0, 0, u32(1)), full_box("tfdt", 0, 0, u32(9 + i)))
                         for i in range(20000)])
    data = FTYP + moov(trak(1, 1000)) + movies + box("mdat", b"m") + moof
    out = _plexo.reset_mp4_timestamps(data)
    assert len(out) == len(data) - len(movies)
    assert [kind for kind, *_ in iter_boxes(out)] == ["ftyp", "moov", "mdat", "moof"]
    assert [t for _, t in decode_times(out)] == list(range(20000))

    def many(count: int) -> bytes:
        movies = b"".join(box("moov", box("free", b"x" * (i % 64))) for i in range(count))
        moof = box("moof", *[box("traf", full_box("tfhd", 0, 0, u32(1)), full_box("tfdt", 0, 0, u32(i)))
                             for i in range(count)])
        return FTYP + moov(trak(1, 1000)) + movies + box("mdat", b"m") + moof
    assert scaling(_plexo.reset_mp4_timestamps, many, 5000) < 9
