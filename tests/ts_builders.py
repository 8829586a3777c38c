"""Transport streams assembled from H.264 access units and AAC frames, and readers for the
tables of the MP4 that plexo writes from them."""
from __future__ import annotations

import struct

from builders import adts_frame, box_payload, find_box, iter_boxes, packetize, pat, pes, pmt

VIDEO_PID = 256
AUDIO_PID = 257

AUD = b"\x00\x00\x00\x01\x09\xf0"
# A tiny SPS (High profile, level 3.1) and PPS; only their bytes matter to the writer.
SPS = b"\x67\x64\x00\x1f\xac\xd9\x40\x50\x05\xbb\x01\x10"
PPS = b"\x68\xeb\xe3\xcb\x22\xc0"


def nal(body: bytes, long_start: bool = True) -> bytes:
    return (b"\x00\x00\x00\x01" if long_start else b"\x00\x00\x01") + body


def idr(first_mb_zero: bool = True) -> bytes:
    """An IDR slice NAL body; first_mb_in_slice 0 ('1' bit) or 1 ('010')."""
    return b"\x65" + (b"\x88\x84\x21" if first_mb_zero else b"\x44\x84\x21")


def non_idr(first_mb_zero: bool = True) -> bytes:
    return b"\x41" + (b"\x9a\x02\x11" if first_mb_zero else b"\x4a\x02\x11")


def transport_stream(video: list[tuple[bytes, int | None, int | None]],
                     audio: list[tuple[bytes, int | None]] = (),
                     audio_stream: bool = True) -> bytes:
    """PAT, PMT, then each video PES (payload, pts, dts) followed by the audio PES (payload,
    pts); audio PES are interleaved after the first video PES."""
    streams = [(0x1B, VIDEO_PID)] + ([(0x0F, AUDIO_PID)] if audio_stream else [])
    packets = [pat(), pmt(streams)]
    counters = {VIDEO_PID: 0, AUDIO_PID: 0}

    def add(pid: int, data: bytes) -> None:
        chunk = packetize(pid, data, counters[pid])
        counters[pid] += len(chunk)
        packets.extend(chunk)

    for i, (payload, pts, dts) in enumerate(video):
        add(VIDEO_PID, pes(payload, pts=pts, dts=dts))
        if i == 0:
            for frames, apts in audio:
                add(AUDIO_PID, pes(frames, pts=apts, stream_id=0xC0))
    return b"".join(packets)


def aac_frames(count: int, size: int = 20, **adts) -> bytes:
    return b"".join(adts_frame(bytes([i & 0xFF]) * size, **adts) for i in range(count))


# ---- reading the written file ----------------------------------------------------------

def top_level(mp4: bytes) -> list[str]:
    return [kind for kind, *_ in iter_boxes(mp4)]


def children(mp4: bytes, path: str) -> list[str]:
    offset, size, header = find_box(mp4, path)
    return [kind for kind, *_ in iter_boxes(mp4, offset + header, offset + size)]


def trak_path(mp4: bytes, index: int) -> tuple[int, int]:
    """(offset, end) of the index-th trak."""
    offset, size, header = find_box(mp4, "moov")
    traks = [(o, o + s) for kind, o, s, h in iter_boxes(mp4, offset + header, offset + size)
             if kind == "trak"]
    return traks[index]


def in_trak(mp4: bytes, index: int, path: str) -> bytes | None:
    """Payload of a box below the index-th trak, or None."""
    start, end = trak_path(mp4, index)
    found = find_box(mp4, path, start + 8, end)
    if found is None:
        return None
    offset, size, header = found
    return mp4[offset + header: offset + size]


def words(payload: bytes, start: int = 0) -> list[int]:
    return list(struct.unpack(f">{(len(payload) - start) // 4}I", payload[start: start + (len(payload) - start) // 4 * 4]))


def table(mp4: bytes, track: int, kind: str) -> tuple[int, list[int]] | None:
    """(version, entries as 32-bit words after entry_count) of a sample table box."""
    payload = in_trak(mp4, track, f"mdia/minf/stbl/{kind}")
    if payload is None:
        return None
    return payload[0], words(payload, 4)


def signed(v: int) -> int:
    return v - (1 << 32) if v & 0x80000000 else v
