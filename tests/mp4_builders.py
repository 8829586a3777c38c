"""Builders for small fragmented MP4 files: a movie box with tracks and track-extends
defaults, then movie fragments whose runs point at their sample bytes."""
from __future__ import annotations

import struct
from dataclasses import dataclass, field

from builders import box, full_box, u8, u16, u32, u64

STSD_VIDEO = u32(0) + u32(1) + box("avc1", b"\0" * 78)


def mvhd(timescale: int = 1000, version: int = 0, next_track: int = 3) -> bytes:
    if version == 1:
        times = u64(1) + u64(2) + u32(timescale) + u64(123)
    else:
        times = u32(1) + u32(2) + u32(timescale) + u32(123)
    rest = u32(0x00010000) + u16(0x0100) + b"\0" * 10 + b"\0" * 36 + b"\0" * 24 + u32(next_track)
    return full_box("mvhd", version, 0, times, rest)


def tkhd(track_id: int, version: int = 0, flags: int = 3) -> bytes:
    if version == 1:
        head = u64(1) + u64(2) + u32(track_id) + u32(0) + u64(77)
    else:
        head = u32(1) + u32(2) + u32(track_id) + u32(0) + u32(77)
    tail = b"\0" * 8 + u16(0) + u16(0) + u16(0) + u16(0) + b"\0" * 36 + u32(320 << 16) + u32(240 << 16)
    return full_box("tkhd", version, flags, head, tail)


def mdhd(timescale: int, version: int = 0) -> bytes:
    if version == 1:
        return full_box("mdhd", 1, 0, u64(1), u64(2), u32(timescale), u64(99), u16(0x55C4), u16(0))
    return full_box("mdhd", 0, 0, u32(1), u32(2), u32(timescale), u32(99), u16(0x55C4), u16(0))


def trak(track_id: int, timescale: int, *, stsd: bytes = STSD_VIDEO, handler: str = "vide",
         extra: bytes = b"", tkhd_version: int = 0, mdhd_version: int = 0) -> bytes:
    stbl = box("stbl", box("stsd", stsd), full_box("stts", 0, 0, u32(0)),
               full_box("stsc", 0, 0, u32(0)), full_box("stsz", 0, 0, u32(0), u32(0)),
               full_box("stco", 0, 0, u32(0)))
    hdlr = full_box("hdlr", 0, 0, u32(0), handler.encode(), b"\0" * 12, b"h\0")
    minf = box("minf", full_box("vmhd", 0, 1, b"\0" * 8), stbl)
    return box("trak", tkhd(track_id, tkhd_version), extra,
               box("mdia", mdhd(timescale, mdhd_version), hdlr, minf))


def trex(track_id: int, duration: int = 0, size: int = 0, flags: int = 0) -> bytes:
    return full_box("trex", 0, 0, u32(track_id), u32(1), u32(duration), u32(size), u32(flags))


def moov(*traks: bytes, trexes: tuple[bytes, ...] = (), timescale: int = 1000, extra: bytes = b"") -> bytes:
    children = [mvhd(timescale), *traks]
    if trexes:
        children.append(box("mvex", *trexes))
    return box("moov", *children, extra)


FTYP = box("ftyp", b"iso5", u32(512), b"iso5iso6mp41")


@dataclass
class Sample:
    data: bytes
    duration: int | None = None
    flags: int | None = None
    cto: int | None = None


@dataclass
class Run:
    samples: list[Sample]
    data_offset: int | None = None   # None: the run has no data offset
    first_flags: int | None = None
    sizes: bool = True
    version: int = 0


@dataclass
class Traf:
    track_id: int
    runs: list[Run]
    base_data_offset: int | None = None
    default_duration: int | None = None
    default_size: int | None = None
    default_flags: int | None = None
    base_is_moof: bool = True
    decode_time: int | None = None
    decode_version: int = 1


def tfhd(t: Traf) -> bytes:
    flags, body = 0, u32(t.track_id)
    if t.base_data_offset is not None:
        flags |= 0x01
        body += u64(t.base_data_offset)
    for flag, value in ((0x08, t.default_duration), (0x10, t.default_size), (0x20, t.default_flags)):
        if value is not None:
            flags |= flag
            body += u32(value)
    if t.base_is_moof:
        flags |= 0x020000
    return full_box("tfhd", 0, flags, body)


def trun(run: Run) -> bytes:
    s0 = run.samples[0] if run.samples else Sample(b"")
    flags = 0
    if run.data_offset is not None:
        flags |= 0x001
    if run.first_flags is not None:
        flags |= 0x004
    if s0.duration is not None:
        flags |= 0x100
    if run.sizes:
        flags |= 0x200
    if s0.flags is not None:
        flags |= 0x400
    if s0.cto is not None:
        flags |= 0x800
    body = u32(len(run.samples))
    if run.data_offset is not None:
        body += struct.pack(">i", run.data_offset)
    if run.first_flags is not None:
        body += u32(run.first_flags)
    for s in run.samples:
        if flags & 0x100:
            body += u32(s.duration)
        if flags & 0x200:
            body += u32(len(s.data))
        if flags & 0x400:
            body += u32(s.flags)
        if flags & 0x800:
            body += u32(s.cto & 0xFFFFFFFF)
    return full_box("trun", run.version, flags, body)


def traf(t: Traf) -> bytes:
    children = [tfhd(t)]
    if t.decode_time is not None:
        if t.decode_version == 1:
            children.append(full_box("tfdt", 1, 0, u64(t.decode_time)))
        else:
            children.append(full_box("tfdt", 0, 0, u32(t.decode_time)))
    children += [trun(r) for r in t.runs]
    return box("traf", *children)


def fragment(*trafs: Traf, sequence: int = 1) -> bytes:
    """A moof and the mdat that follows it, holding every run's bytes in order. Runs whose
    data_offset is left at 0 get the offset that points at their bytes in that mdat (from the
    moof's first byte)."""
    payload = b"".join(s.data for t in trafs for r in t.runs for s in r.samples)
    # Two passes: the moof's length does not depend on the offsets' values.
    def build() -> bytes:
        return box("moof", full_box("mfhd", 0, 0, u32(sequence)), *[traf(t) for t in trafs])
    moof_len = len(build())
    position = moof_len + 8
    for t in trafs:
        for r in t.runs:
            if r.data_offset == 0:
                r.data_offset = position
            position += sum(len(s.data) for s in r.samples)
    return build() + box("mdat", payload)


def samples(*datas: bytes, duration: int | None = 1000, flags: int | None = None) -> list[Sample]:
    return [Sample(d, duration, flags) for d in datas]
