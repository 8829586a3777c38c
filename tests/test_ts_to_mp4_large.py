"""convert_ts_to_mp4 past 4 GiB: a 64-bit mdat size and co64 chunk offsets instead of
truncated 32-bit ones. Needs about 14 GB of memory, so it runs only when asked:

    PLEXO_LARGE_TESTS=1 python -m pytest tests/test_ts_to_mp4_large.py
"""
from __future__ import annotations

import os
import struct

import pytest

import _plexo
from builders import find_box, packetize, pes
from builders import AUD, AUDIO_PID, PPS, SPS, VIDEO_PID, aac_frames, nal, table, transport_stream

pytestmark = pytest.mark.skipif(not os.environ.get("PLEXO_LARGE_TESTS"),
                                reason="needs ~14 GB of memory; set PLEXO_LARGE_TESTS=1")

UNIT = 1 << 20          # bytes of slice data per picture
PICTURES = 4200         # 4.1 GiB of video


def large_stream() -> bytes:
    head = transport_stream([(AUD + nal(SPS) + nal(PPS) + nal(b"\x65\x88" + b"\xff" * UNIT), 0, None)],
                            [(aac_frames(3), 0)])
    body = AUD + nal(b"\x41\x9a" + b"\xee" * UNIT)
    packets = packetize(VIDEO_PID, pes(body, pts=3000))
    rest = b"".join(packets[1:])
    # Every picture has the same packets but the first, which carries its PTS.
    pictures = (packetize(VIDEO_PID, pes(body, pts=3000 * i)[:184])[0] + rest for i in range(1, PICTURES))
    return head + b"".join(pictures)


def test_more_than_4_gib_of_media_gets_64_bit_sizes_and_offsets():
    out = _plexo.convert_ts_to_mp4(large_stream())
    moov_offset, moov_size, _ = find_box(out, "moov")
    mdat = moov_offset + moov_size
    assert struct.unpack(">I4sQ", out[mdat: mdat + 16]) == (1, b"mdat", len(out) - mdat)
    assert len(out) > 1 << 32
    video_sizes = table(out, 0, "stsz")[1][2:]
    assert len(video_sizes) == PICTURES
    payload = find_box(out, "moov/trak/mdia/minf/stbl/co64")
    assert payload is not None
    offset, size, header = payload
    version_entries = out[offset + header: offset + size]
    video_chunk = struct.unpack(">Q", version_entries[8:16])[0]
    assert video_chunk == mdat + 16
    assert out[video_chunk: video_chunk + 6] == struct.pack(">I", 2 + UNIT) + b"\x65\x88"
    # the audio chunk lies beyond 4 GiB, after every picture
    _, audio_entries = table(out, 1, "co64")
    audio_chunk = (audio_entries[1] << 32) | audio_entries[2]
    assert audio_chunk == video_chunk + sum(video_sizes) > 1 << 32
    assert out[audio_chunk: audio_chunk + 20] == b"\x00" * 20
    assert audio_chunk + 60 == len(out)
