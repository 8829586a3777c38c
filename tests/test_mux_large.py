"""mux_fmp4_tracks past 4 GiB: a 64-bit mdat size and co64 chunk offsets, so that the audio
samples behind 4 GiB of video are still addressed. Needs about 10 GB of memory, so it runs
only when asked:

    PLEXO_LARGE_TESTS=1 python -m pytest tests/test_mux_large.py
"""
from __future__ import annotations

import os
import struct

import pytest

import _plexo
from builders import box, find_box, full_box, sample_bytes, tables, u32
from builders import FTYP, Run, Sample, Traf, fragment, moov, trak, trex

pytestmark = pytest.mark.skipif(not os.environ.get("PLEXO_LARGE_TESTS"),
                                reason="needs ~10 GB of memory; set PLEXO_LARGE_TESTS=1")

UNIT = 1 << 20    # bytes per video sample
SAMPLES = 4200    # 4.1 GiB of video


def large_video() -> bytes:
    # one run of SAMPLES samples without a per-sample table: every sample takes the tfhd's
    # default size and duration
    run_header = full_box("trun", 0, 0x001, u32(SAMPLES), u32(0))
    traf = box("traf", full_box("tfhd", 0, 0x020018, u32(1), u32(3000), u32(UNIT)), run_header)
    moof = box("moof", full_box("mfhd", 0, 0, u32(1)), traf)
    moof = moof[:-4] + u32(len(moof) + 16)  # data offset: the mdat payload (64-bit mdat header)
    mdat_header = u32(1) + b"mdat" + struct.pack(">Q", 16 + SAMPLES * UNIT)
    return FTYP + moov(trak(1, 90000), trexes=(trex(1),)) + moof + mdat_header + b"\xee" * (SAMPLES * UNIT)


def test_more_than_4_gib_of_media_gets_64_bit_sizes_and_offsets():
    audio = (FTYP + moov(trak(2, 48000, handler="soun"), trexes=(trex(2),))
             + fragment(Traf(2, [Run([Sample(b"A" * 7, 1024), Sample(b"a" * 5, 1024)], data_offset=0)])))
    out = _plexo.mux_fmp4_tracks(large_video(), audio)
    moov_offset, moov_size, _ = find_box(out, "moov")
    mdat = moov_offset + moov_size
    assert struct.unpack(">I4sQ", out[mdat:mdat + 16]) == (1, b"mdat", len(out) - mdat)
    video_offsets = tables(out, 0)["co64"]
    assert struct.unpack(">I", video_offsets[4:8])[0] == SAMPLES
    assert struct.unpack(">Q", video_offsets[8:16])[0] == mdat + 16
    # the audio lies beyond 4 GiB, after every video sample
    assert sample_bytes(out, 1) == [b"A" * 7, b"a" * 5]
    assert struct.unpack(">Q", tables(out, 1)["co64"][8:16])[0] == mdat + 16 + SAMPLES * UNIT > 1 << 32
