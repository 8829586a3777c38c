"""defragment_mp4 on damaged and hostile files: a result or ValueError, never a crash, and no
allocation that the input's bytes do not back."""
from __future__ import annotations

import random
import struct

import pytest

import _plexo
from builders import box, box_payload, find_box, full_box, large_box, u32, u64
from builders import FTYP, Run, Sample, Traf, fragment, moov, outcome, samples, trak, trex

REAL = ["frag_default_base_moof.mp4", "frag_gstreamer.mp4", "frag_negative_cts.mp4"]


NO_SAMPLES = "No samples found for the tracks of the moov box"


def stsz_count(out: bytes) -> int:
    off, size, header = find_box(out, "moov/trak/mdia/minf/stbl/stsz")
    return struct.unpack(">I", out[off + header + 8:off + header + 12])[0]


@pytest.mark.parametrize("name", REAL)
def test_truncations_do_not_crash(name, fixture_bytes):
    data = fixture_bytes(name)
    for cut in sorted({*range(0, 2048, 61), *range(0, len(data), max(1, len(data) // 60))}):
        outcome(_plexo.defragment_mp4, data[:cut])  # crash-only: a result or ValueError; ffprobe judges box-boundary cuts elsewhere


@pytest.mark.parametrize("name", REAL)
def test_byte_flips_do_not_crash(name, fixture_bytes):
    data = fixture_bytes(name)
    rng = random.Random(name)
    # the metadata at the front is where flips change the structure
    head = min(len(data), 8192)
    for _ in range(300):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            damaged[rng.randrange(head)] ^= 1 << rng.randrange(8)
        outcome(_plexo.defragment_mp4, bytes(damaged))  # crash-only


def hostile_run(count: int, flags: int, body: bytes = b"") -> bytes:
    return full_box("trun", 0, flags, u32(count), body)


def file_with_traf(traf_payload: bytes, media: bytes = b"x" * 64, trexes=()) -> bytes:
    moof = box("moof", full_box("mfhd", 0, 0, u32(1)), box("traf", traf_payload))
    return FTYP + moov(trak(1, 1000), trexes=trexes) + moof + box("mdat", media)


TFHD_DEFAULT_SIZE_0 = full_box("tfhd", 0, 0x020010, u32(1), u32(0))
TFHD_DEFAULT_SIZE_1 = full_box("tfhd", 0, 0x020010, u32(1), u32(1))


def run_at_mdat(tfhd: bytes, count: int, flags: int, table: bytes = b"") -> bytes:
    """tfhd and a run whose data offset points at the mdat payload of file_with_traf."""
    moof_length = 8 + 16 + 8 + len(tfhd) + 12 + 4 + 4 + len(table)
    return tfhd + hostile_run(count, flags, u32(moof_length + 8) + table)


@pytest.mark.parametrize("traf, most", [
    # four billion samples of nothing: none are kept
    (TFHD_DEFAULT_SIZE_0 + hostile_run(0xFFFFFFFF, 0x000), 0),
    # four billion one-byte samples from 64 bytes: only what the file holds
    (run_at_mdat(TFHD_DEFAULT_SIZE_1, 0xFFFFFFFF, 0x001), 64),
    # sizes declared per sample but the table holds three entries
    (run_at_mdat(TFHD_DEFAULT_SIZE_0, 0xFFFFFFFF, 0x201, u32(1) * 3), 3),
])
def test_huge_sample_counts_stop_where_the_bytes_end(traf, most):
    out = outcome(_plexo.defragment_mp4, file_with_traf(traf))
    if most == 0:
        assert str(out) == NO_SAMPLES
        return
    assert 0 < stsz_count(out) <= most
    assert len(out) < 4096


def test_many_runs_over_the_same_bytes_cannot_multiply_the_output():
    # 2000 runs that all point at the same 4 KiB would make 8 MB of output
    runs = b"".join(hostile_run(1, 0x201, u32(0) + u32(4096)) for _ in range(2000))
    def made(base: int) -> bytes:
        return file_with_traf(full_box("tfhd", 0, 0x000001, u32(1), u64(base)) + runs, media=b"m" * 4096)
    data = made(made(0).rindex(b"mdat") + 4)
    out = _plexo.defragment_mp4(data)
    assert len(out) <= 2 * len(data) + 65536


@pytest.mark.parametrize("size_field", [0, 2, 3, 5, 7])
def test_small_size_fields_inside_boxes_do_not_crash(size_field):
    frag = fragment(Traf(1, [Run(samples(b"abc", b"de"), data_offset=0)]))
    broken = u32(size_field) + b"junk" + b"\0" * 12
    for where in (b"trun", b"tfhd", b"traf", b"mfhd"):
        at = frag.index(where) - 4
        data = FTYP + moov(trak(1, 1000)) + frag[:at] + broken + frag[at:]
        outcome(_plexo.defragment_mp4, data)  # crash-only


@pytest.mark.parametrize("data", [
    FTYP + u32(0) + b"moof",                                  # size 0 at the top: to the end
    FTYP + u32(5) + b"moof" + b"\0" * 16,                     # smaller than its header
    FTYP + large_box("moof", largesize=8) + moov(),           # 64-bit size below its header
    FTYP + moov() + u32(1) + b"moof" + u64(0xFFFFFFFFFFFFFFFF),
    FTYP + moov() + box("moof", u32(1) + b"traf" + u64(1 << 62)),
])
def test_odd_top_level_sizes_do_not_crash(data):
    outcome(_plexo.defragment_mp4, data)  # crash-only


def test_deeply_nested_boxes_do_not_recurse():
    nested = b""
    for _ in range(20000):
        nested = box("traf", nested)
    data = FTYP + moov(trak(1, 1000)) + box("moof", nested) + box("mdat", b"x")
    with pytest.raises(ValueError, match=f"^{NO_SAMPLES}$"):
        _plexo.defragment_mp4(data)


def test_offsets_near_the_top_of_the_range():
    # base_data_offset near 2^64 with a positive data offset must not wrap into the file
    traf = full_box("tfhd", 0, 0x000011, u32(1), u64(0xFFFFFFFFFFFFFFF0), u32(4)) + \
        hostile_run(2, 0x001, u32(0x7FFFFFFF))
    with pytest.raises(ValueError, match=f"^{NO_SAMPLES}$"):
        _plexo.defragment_mp4(file_with_traf(traf))


def test_short_full_boxes_keep_defaults():
    # tfhd announces three defaults it does not hold, tfdt is one byte, the run has no table:
    # the trex defaults give the one sample its size and duration.
    traf = run_at_mdat(full_box("tfhd", 0, 0x020038, u32(1)) + box("tfdt", b"\1"), 1, 0x001)
    out = _plexo.defragment_mp4(file_with_traf(traf, trexes=(trex(1, duration=5, size=2),)))
    assert stsz_count(out) == 1
    assert box_payload(out, "mdat") == b"xx"


def test_many_tracks_and_track_fragments_stay_linear():
    from builders import mvhd, tkhd
    from conftest import scaling

    def tracks(count: int) -> bytes:
        traks = b"".join(box("trak", tkhd(i)) for i in range(1, count + 1))
        trafs = b"".join(box("traf", full_box("tfhd", 0, 0x020000, u32(i))) for i in range(1, count + 1))
        return FTYP + box("moov", mvhd(), traks) + box("moof", trafs) + box("mdat", b"x")

    assert str(outcome(_plexo.defragment_mp4, tracks(30000))) == NO_SAMPLES
    # a search per fragment over every track would grow with the square of the count
    assert scaling(lambda data: outcome(_plexo.defragment_mp4, data), tracks, 7500) < 9
