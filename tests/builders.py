"""Tiny builders for byte-level test cases: ISO BMFF boxes and MPEG-TS packets.

Sizes fill themselves in; pass ``size=`` to write a deliberately wrong one.
"""
from __future__ import annotations

import pathlib
import struct
from dataclasses import dataclass, field

# ---- ISO BMFF ---------------------------------------------------------------------------


def u8(v: int) -> bytes:
    return struct.pack(">B", v)


def u16(v: int) -> bytes:
    return struct.pack(">H", v)


def u24(v: int) -> bytes:
    return struct.pack(">I", v)[1:]


def u32(v: int) -> bytes:
    return struct.pack(">I", v & 0xFFFFFFFF)


def u64(v: int) -> bytes:
    return struct.pack(">Q", v)


def box(kind: str, *children: bytes, size: int | None = None) -> bytes:
    """A box whose payload is the concatenation of ``children``."""
    payload = b"".join(children)
    declared = 8 + len(payload) if size is None else size
    return u32(declared) + kind.encode("latin-1") + payload


def large_box(kind: str, *children: bytes, largesize: int | None = None) -> bytes:
    """A box with a 64-bit size (size field 1)."""
    payload = b"".join(children)
    declared = 16 + len(payload) if largesize is None else largesize
    return u32(1) + kind.encode("latin-1") + u64(declared) + payload


def full_box(kind: str, version: int, flags: int, *children: bytes, size: int | None = None) -> bytes:
    return box(kind, u8(version) + u24(flags), *children, size=size)


def iter_boxes(data: bytes, start: int = 0, end: int | None = None):
    """Yields (type, offset, size, header_length) for each box in data[start:end]."""
    end = len(data) if end is None else end
    pos = start
    while pos + 8 <= end:
        size, kind = struct.unpack(">I4s", data[pos : pos + 8])
        header = 8
        if size == 1:
            size = struct.unpack(">Q", data[pos + 8 : pos + 16])[0]
            header = 16
        elif size == 0:
            size = end - pos
        if size < header:
            return
        yield kind.decode("latin-1"), pos, size, header
        pos += size


def find_box(data: bytes, path: str, start: int = 0, end: int | None = None):
    """Offset, size and header length of the first box at a slash-separated path, or None."""
    head, _, rest = path.partition("/")
    for kind, offset, size, header in iter_boxes(data, start, end):
        if kind == head:
            if not rest:
                return offset, size, header
            inner = offset + header
            if kind == "stsd":
                inner += 8  # version, flags, entry_count
            elif kind in ("avc1", "avc3", "hvc1", "hev1"):
                inner += 78
            elif kind == "mp4a":
                inner += 28
            return find_box(data, rest, inner, offset + size)
    return None


def box_payload(data: bytes, path: str) -> bytes:
    found = find_box(data, path)
    assert found is not None, f"no box at {path}"
    offset, size, header = found
    return data[offset + header : offset + size]


def sidx(reference_id: int, timescale: int, earliest: int, *, version: int = 0,
         references: tuple[tuple[int, int], ...] = ((100, 1000),)) -> bytes:
    """A segment index; ``references`` are (referenced_size, subsegment_duration) pairs of
    media references that start with a SAP of type 1."""
    times = u64(earliest) + u64(0) if version == 1 else u32(earliest) + u32(0)
    body = u32(reference_id) + u32(timescale) + times + u16(0) + u16(len(references))
    body += b"".join(u32(size) + u32(duration) + u32(0x90000000) for size, duration in references)
    return full_box("sidx", version, 0, body)


def sidx_earliest_time(payload: bytes) -> int:
    """earliest_presentation_time of a sidx payload, in its own width."""
    return struct.unpack(">Q" if payload[0] == 1 else ">I", payload[12:20 if payload[0] == 1 else 16])[0]


def segment_indexes(data: bytes) -> list[tuple[int, int, int, int]]:
    """(version, reference_ID, timescale, earliest_presentation_time) of every top-level sidx."""
    found = []
    for kind, offset, size, header in iter_boxes(data):
        if kind == "sidx":
            payload = data[offset + header : offset + size]
            reference_id, timescale = struct.unpack(">II", payload[4:12])
            found.append((payload[0], reference_id, timescale, sidx_earliest_time(payload)))
    return found


def header_times(payload: bytes, kind: str) -> tuple[int, int, int]:
    """(creation_time, modification_time, duration) of an mvhd, tkhd or mdhd payload."""
    wide = payload[0] == 1
    width = 8 if wide else 4
    fmt = ">Q" if wide else ">I"
    at = 4 + 2 * width + (8 if kind == "tkhd" else 4)
    created = struct.unpack(fmt, payload[4:4 + width])[0]
    modified = struct.unpack(fmt, payload[4 + width:4 + 2 * width])[0]
    return created, modified, struct.unpack(fmt, payload[at:at + width])[0]


def traks(data: bytes) -> list[tuple[int, int, int]]:
    """Offset, size and header length of every trak of a file's moov, in order."""
    moov_off, moov_size, header = find_box(data, "moov")
    return [(o, s, h) for kind, o, s, h in iter_boxes(data, moov_off + header, moov_off + moov_size)
            if kind == "trak"]


def trak_box(data: bytes, index: int, path: str) -> bytes | None:
    """Payload of the box at ``path`` below the index-th trak, or None."""
    off, size, h = traks(data)[index]
    found = find_box(data, path, off + h, off + size)
    return None if found is None else data[found[0] + found[2]:found[0] + found[1]]


def tables(data: bytes, index: int = 0) -> dict[str, bytes]:
    """Payloads of the stbl children of the index-th trak of a file."""
    off, size, h = traks(data)[index]
    stbl = find_box(data, "mdia/minf/stbl", off + h, off + size)
    if stbl is None:
        return {}
    return {kind: data[o + hh:o + s] for kind, o, s, hh in iter_boxes(data, stbl[0] + stbl[2], stbl[0] + stbl[1])}


def entries(payload: bytes, width: int = 1, skip: int = 8) -> list:
    """The 32-bit fields of a table payload after ``skip`` bytes, grouped ``width`` at a time."""
    values = list(struct.unpack(f">{(len(payload) - skip) // 4}I", payload[skip:]))
    return values if width == 1 else [tuple(values[i:i + width]) for i in range(0, len(values), width)]


def sample_bytes(data: bytes, index: int = 0) -> list[bytes]:
    """The bytes of every sample of the index-th trak, as its stsz, stsc and stco/co64 place
    them."""
    t = tables(data, index)
    sizes = entries(t["stsz"], skip=12)
    chunks = entries(t["stco"]) if "stco" in t else list(struct.unpack(f">{(len(t['co64']) - 8) // 8}Q", t["co64"][8:]))
    # samples per chunk from stsc's runs (first_chunk, samples_per_chunk, description)
    runs = entries(t["stsc"]) if "stsc" in t else []
    runs = [runs[i:i + 3] for i in range(0, len(runs) - 2, 3)]
    offsets = []
    for c, chunk in enumerate(chunks, start=1):
        per_chunk = next((n for first, n, _ in reversed(runs) if first <= c), 1)
        at = chunk
        for size in sizes[len(offsets):len(offsets) + per_chunk]:
            offsets.append(at)
            at += size
    return [data[o:o + s] for o, s in zip(offsets, sizes)]


# Bytes between a container's header and its first child.
CONTAINERS = {"moov": 0, "trak": 0, "mdia": 0, "minf": 0, "stbl": 0, "mvex": 0, "moof": 0,
              "traf": 0, "edts": 0, "dinf": 0, "udta": 0, "mfra": 0, "stsd": 8, "avc1": 78,
              "avc3": 78, "mp4a": 28}


def walk_boxes(data: bytes, start: int = 0, end: int | None = None, parent: str = ""):
    """Yields (path, offset, size, header_length) of every box, depth first, descending into
    the containers above (at most 32 levels); ``path`` names the box and its ancestors
    ("moov/trak/tkhd")."""
    for kind, offset, size, header in iter_boxes(data, start, end):
        path = f"{parent}/{kind}" if parent else kind
        yield path, offset, size, header
        if kind in CONTAINERS and path.count("/") < 32:
            yield from walk_boxes(data, offset + header + CONTAINERS[kind], offset + size, path)


def box_boundaries(data: bytes) -> list[int]:
    """Every offset at which a box starts or ends, in order."""
    return sorted({at for _, offset, size, _ in walk_boxes(data) for at in (offset, offset + size)})


def _ancestry(data: bytes, path: str, nth: int = 0):
    """(offset, size, header) of the nth box at ``path`` and of every box above it."""
    found = [(p, o, s, h) for p, o, s, h in walk_boxes(data) if p == path]
    assert len(found) > nth, f"no box at {path}"
    _, offset, size, header = found[nth]
    chain = [(offset, size, header)]
    for p, o, s, h in walk_boxes(data):
        if path.startswith(p + "/") and o < offset < o + s:
            chain.append((o, s, h))
    return chain


def replace_box(data: bytes, path: str, new: bytes, nth: int = 0) -> bytes:
    """``data`` with the nth box at ``path`` replaced by ``new`` (a whole box, or any bytes)
    and the size of every box that holds it corrected."""
    (offset, size, _), *above = _ancestry(data, path, nth)
    delta = len(new) - size
    out = bytearray(data[:offset] + new + data[offset + size:])
    for o, s, h in above:
        if h == 16:
            out[o + 8:o + 16] = u64(s + delta)
        elif struct.unpack(">I", data[o:o + 4])[0] != 0:
            out[o:o + 4] = u32(s + delta)
    return bytes(out)


def get_box(data: bytes, path: str, nth: int = 0) -> bytes:
    """The whole nth box at ``path``, header included."""
    (offset, size, _), *_ = _ancestry(data, path, nth)
    return data[offset:offset + size]


def patch_box(data: bytes, path: str, at: int, value: bytes, nth: int = 0) -> bytes:
    """``data`` with ``value`` written over the nth box at ``path``, ``at`` bytes after the
    box's first byte (so at=0 rewrites its size field)."""
    (offset, size, _), *_ = _ancestry(data, path, nth)
    assert at + len(value) <= size
    return data[:offset + at] + value + data[offset + at + len(value):]


# ---- MPEG-TS ----------------------------------------------------------------------------

TS_PACKET = 188


def ts_packets(data: bytes, size: int = TS_PACKET) -> list[bytes]:
    """The packets of a stream of ``size``-byte packets, in order."""
    return [data[at:at + size] for at in range(0, len(data) - size + 1, size)]


def ts_packet(pid: int, payload: bytes = b"", *, pusi: bool = False, adaptation: bytes | None = None,
              counter: int = 0, has_payload: bool = True) -> bytes:
    """One 188-byte packet. ``adaptation`` is the adaptation field body (after its length
    byte); when the payload is short the packet is filled with adaptation stuffing."""
    header = bytes([0x47, (0x40 if pusi else 0) | ((pid >> 8) & 0x1F), pid & 0xFF])
    room = TS_PACKET - 4
    if adaptation is None and len(payload) < room and has_payload:
        # stuff with an adaptation field so the payload ends the packet
        stuffing = room - len(payload) - 1
        adaptation = b"" if stuffing == 0 else bytes([0x00]) + b"\xff" * (stuffing - 1)
    control = (0x10 if has_payload else 0) | (0x20 if adaptation is not None else 0)
    body = b""
    if adaptation is not None:
        body = bytes([len(adaptation)]) + adaptation
    body += payload
    packet = header + bytes([control | (counter & 0x0F)]) + body
    assert len(packet) <= TS_PACKET, "payload too long for one packet"
    return packet + b"\xff" * (TS_PACKET - len(packet))


def pat(pmt_pid: int = 0x1000, program_number: int = 1,
        programs: list[tuple[int, int]] | None = None) -> bytes:
    """A PAT listing (program_number, PID) entries, by default one programme."""
    programs = [(program_number, pmt_pid)] if programs is None else programs
    loop = b"".join(u16(number) + u16(0xE000 | pid) for number, pid in programs)
    section = bytes([0x00]) + u16(0xB000 | (9 + len(loop))) + u16(1) + bytes([0xC1, 0, 0])
    section += loop + b"\0\0\0\0"  # CRC not checked
    return ts_packet(0, b"\x00" + section, pusi=True)


def pmt(streams: list[tuple], pmt_pid: int = 0x1000, pcr_pid: int = 256) -> bytes:
    """``streams`` is a list of (stream_type, elementary_PID) or (stream_type, elementary_PID,
    ES_info descriptors)."""
    entries = b"".join(bytes([st]) + u16(0xE000 | pid) + u16(0xF000 | len(info)) + info
                       for st, pid, info in ((*s, b"")[:3] for s in streams))
    length = 9 + len(entries) + 4
    section = bytes([0x02]) + u16(0xB000 | length) + u16(1) + bytes([0xC1, 0, 0])
    section += u16(0xE000 | pcr_pid) + u16(0xF000) + entries + b"\xde\xad\xbe\xef"
    return ts_packet(pmt_pid, b"\x00" + section, pusi=True)


def descriptor(tag: int, body: bytes = b"") -> bytes:
    return bytes([tag, len(body)]) + body


def first_packet(data: bytes, pid: int, start: bool = True) -> int:
    """Offset of the first packet on ``pid`` (that starts a PES when ``start``)."""
    for index, packet in enumerate(ts_packets(data)):
        if ((packet[1] & 0x1F) << 8 | packet[2]) == pid and (bool(packet[1] & 0x40) or not start):
            return index * 188
    raise AssertionError(f"no packet on PID {pid}")


def pes_start(data: bytes, pid: int) -> int:
    """Offset of the first PES header on ``pid``."""
    at = first_packet(data, pid)
    return data.index(b"\x00\x00\x01", at + 4)


def patched(data: bytes, at: int, value: bytes) -> bytes:
    """``data`` with ``value`` written over its bytes at ``at``; the length stays."""
    return data[:at] + value + data[at + len(value):]


def with_zeros_in_sps(data: bytes) -> bytes:
    """The SPS with 80 zero bits where its first exp-Golomb code (the SPS id) starts; its
    length in the stream stays the same."""
    at = data.index(b"\x00\x00\x00\x01\x67") + 8
    end = data.index(b"\x00\x00\x00\x01", at)
    body = (b"\x00\x00\x03" * 5 + b"\x80").ljust(end - at, b"\xff")
    return patched(data, at, body)


def timestamp(prefix: int, value: int) -> bytes:
    """A 5-byte PES timestamp field with its marker bits."""
    return bytes([
        (prefix << 4) | (((value >> 30) & 0x07) << 1) | 1,
        (value >> 22) & 0xFF,
        (((value >> 15) & 0x7F) << 1) | 1,
        (value >> 7) & 0xFF,
        ((value & 0x7F) << 1) | 1,
    ])


def pes(payload: bytes, *, pts: int | None = None, dts: int | None = None, stream_id: int = 0xE0) -> bytes:
    """A PES packet (length 0, as for video) carrying ``payload``."""
    flags, fields = 0, b""
    if pts is not None and dts is not None:
        flags, fields = 0xC0, timestamp(3, pts) + timestamp(1, dts)
    elif pts is not None:
        flags, fields = 0x80, timestamp(2, pts)
    return b"\x00\x00\x01" + bytes([stream_id]) + u16(0) + bytes([0x80, flags, len(fields)]) + fields + payload


def packetize(pid: int, data: bytes, counter: int = 0) -> list[bytes]:
    """Splits one PES packet over as many TS packets as it needs."""
    starts = range(0, len(data), 184) or [0]
    return [ts_packet(pid, data[at:at + 184], pusi=n == 0, counter=counter + n) for n, at in enumerate(starts)]


def adts_frame(payload: bytes, *, protection_absent: bool = True, profile: int = 1,
               sampling_index: int = 3, channels: int = 2, length: int | None = None) -> bytes:
    """An ADTS frame around a raw AAC payload (profile 1 = AAC LC); ``length`` overrides the
    frame length field (13 bits)."""
    header_length = 7 if protection_absent else 9
    length = header_length + len(payload) if length is None else length
    header = bytes([
        0xFF,
        0xF0 | (0x01 if protection_absent else 0x00),
        (profile << 6) | (sampling_index << 2) | ((channels >> 2) & 0x01),
        ((channels & 0x03) << 6) | ((length >> 11) & 0x03),
        (length >> 3) & 0xFF,
        ((length & 0x07) << 5) | 0x1F,
        0xFC,
    ])
    if not protection_absent:
        header += b"\x00\x00"
    return header + payload


MPEG_AUDIO_RATES = {3: (44100, 48000, 32000), 2: (22050, 24000, 16000), 0: (11025, 12000, 8000)}
MPEG_AUDIO_KBPS = {(1, 1): (0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448),
                   (1, 2): (0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384),
                   (1, 3): (0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320),
                   (2, 1): (0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256),
                   (2, 2): (0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160),
                   (2, 3): (0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160)}


def mpeg_audio_frame(fill: int = 0, *, version: int = 3, layer: int = 3, bitrate_index: int = 9,
                     rate_index: int = 0, padding: int = 0, mono: bool = False) -> bytes:
    """One MPEG audio frame (version 3 = MPEG-1, 2 = MPEG-2, 0 = MPEG-2.5), header included,
    its body filled with ``fill``; a reserved ``rate_index`` 3 gives a 1000-byte frame."""
    header = bytes([0xFF, 0xE0 | (version << 3) | ((4 - layer) << 1) | 1,
                    (bitrate_index << 4) | (rate_index << 2) | (padding << 1), 0xC0 if mono else 0x00])
    if rate_index == 3 or bitrate_index in (0, 15):
        return header + bytes([fill]) * 996
    rate = MPEG_AUDIO_RATES[version][rate_index]
    kbps = MPEG_AUDIO_KBPS[(1 if version == 3 else 2, layer)][bitrate_index]
    if layer == 1:
        length = (12 * kbps * 1000 // rate + padding) * 4
    else:
        length = (144 if layer == 2 or version == 3 else 72) * kbps * 1000 // rate + padding
    return header + bytes([fill]) * (length - 4)


AC3_WORDS_48K = (64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 640, 768, 896, 1024, 1152, 1280)


def ac3_frame(fill: int = 0, *, fscod: int = 0, frmsizecod: int = 20, bsid: int = 8, bsmod: int = 0,
              acmod: int = 2, lfeon: int = 0) -> bytes:
    """One AC-3 syncframe at 48 kHz (or 32 kHz, fscod 2) of the size frmsizecod gives, its body
    filled with ``fill``; acmod 2 (stereo) or 1 (mono)."""
    words = AC3_WORDS_48K[frmsizecod >> 1] * (3 if fscod == 2 else 2) // 2
    bits = Bits().u(acmod, 3)
    if acmod == 2:
        bits.u(0, 2)  # dsurmod
    bits.u(lfeon, 1)
    info = bits.bits + [0] * (-len(bits.bits) % 8)
    tail = bytes(int("".join(map(str, info[i:i + 8])), 2) for i in range(0, len(info), 8))
    header = b"\x0b\x77\x00\x00" + bytes([(fscod << 6) | frmsizecod, (bsid << 3) | bsmod]) + tail
    return header + bytes([fill]) * (words * 2 - len(header))


def eac3_frame(fill: int = 0, *, size: int = 384, strmtyp: int = 0, substream: int = 0, fscod: int = 0,
               numblkscod: int = 3, acmod: int = 2, lfeon: int = 0, bsid: int = 16,
               chanmap: int | None = None, bsmod: int | None = None) -> bytes:
    """One E-AC-3 syncframe of ``size`` bytes (even), its body filled with ``fill``. A
    dependent substream (strmtyp 1) may carry a custom channel map; ``bsmod`` is written in
    the informational metadata."""
    bits = Bits().u(strmtyp, 2).u(substream, 3).u(size // 2 - 1, 11).u(fscod, 2).u(numblkscod, 2)
    bits.u(acmod, 3).u(lfeon, 1).u(bsid, 5).u(31, 5).u(0, 1)   # dialnorm, no compr
    if acmod == 0:
        bits.u(31, 5).u(0, 1)
    if strmtyp == 1:
        bits.u(chanmap is not None, 1)
        if chanmap is not None:
            bits.u(chanmap, 16)
    bits.u(0, 1)                                               # no mixing metadata
    bits.u(bsmod is not None, 1)
    if bsmod is not None:
        bits.u(bsmod, 3)
    info = bits.bits + [0] * (-len(bits.bits) % 8)
    body = bytes(int("".join(map(str, info[i:i + 8])), 2) for i in range(0, len(info), 8))
    return b"\x0b\x77" + body + bytes([fill]) * (size - 2 - len(body))


# ---- movie and movie-fragment boxes ----------------------------------------------------

from dataclasses import dataclass, field


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
         extra: bytes = b"", tkhd_version: int = 0, mdhd_version: int = 0,
         media_header: bytes | None = None, tables: bytes | None = None) -> bytes:
    """A trak; `tables` replaces the empty stts, stsc, stsz and stco after the stsd."""
    if tables is None:
        tables = (full_box("stts", 0, 0, u32(0)) + full_box("stsc", 0, 0, u32(0))
                  + full_box("stsz", 0, 0, u32(0), u32(0)) + full_box("stco", 0, 0, u32(0)))
    stbl = box("stbl", box("stsd", stsd), tables)
    hdlr = full_box("hdlr", 0, 0, u32(0), handler.encode(), b"\0" * 12, b"h\0")
    minf = box("minf", full_box("vmhd", 0, 1, b"\0" * 8), stbl)
    return box("trak", tkhd(track_id, tkhd_version), extra,
               box("mdia", media_header or mdhd(timescale, mdhd_version), hdlr, minf))


def trex(track_id: int, duration: int = 0, size: int = 0, flags: int = 0) -> bytes:
    return full_box("trex", 0, 0, u32(track_id), u32(1), u32(duration), u32(size), u32(flags))


def moov(*traks: bytes, trexes: tuple[bytes, ...] = (), timescale: int = 1000, extra: bytes = b"") -> bytes:
    children = [mvhd(timescale), *traks]
    if trexes:
        children.append(box("mvex", *trexes))
    return box("moov", *children, extra)


FTYP = box("ftyp", b"iso5", u32(512), b"iso5iso6mp41")


# ---- named field readers of written files ---------------------------------------------------

def mvhd_fields(data: bytes) -> tuple[int, int, int]:
    """Timescale, duration and next track ID of the movie header (either version)."""
    p = box_payload(data, "moov/mvhd")
    if p[0] == 1:
        timescale, duration = struct.unpack(">IQ", p[20:32])
    else:
        timescale, duration = struct.unpack(">II", p[12:20])
    return timescale, duration, struct.unpack(">I", p[-4:])[0]


def next_track_id(data: bytes) -> int:
    return mvhd_fields(data)[2]


def edit_list(data: bytes, index: int) -> list[tuple[int, int, int]] | None:
    """(segment duration, media time, rate) of each entry of the index-th trak's edit list,
    either version; None without one."""
    p = trak_box(data, index, "edts/elst")
    if p is None:
        return None
    count = struct.unpack(">I", p[4:8])[0]
    form, width = (">QqI", 20) if p[0] == 1 else (">IiI", 12)
    return [struct.unpack(form, p[8 + width * i:8 + width * (i + 1)]) for i in range(count)]


@dataclass(frozen=True)
class Refused:
    """A call's ValueError as a value that compares by its message."""
    message: str

    def __str__(self) -> str:
        return self.message


def outcome(call, *args):
    """What `call(*args)` gives: its result, or Refused(message) for the ValueError it raises."""
    try:
        return call(*args)
    except ValueError as error:
        return Refused(str(error))


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


def tfhd_of(t: Traf) -> bytes:
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


def trun_of(run: Run) -> bytes:
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


def traf_of(t: Traf) -> bytes:
    children = [tfhd_of(t)]
    if t.decode_time is not None:
        if t.decode_version == 1:
            children.append(full_box("tfdt", 1, 0, u64(t.decode_time)))
        else:
            children.append(full_box("tfdt", 0, 0, u32(t.decode_time)))
    children += [trun_of(r) for r in t.runs]
    return box("traf", *children)


def fragment(*trafs: Traf, sequence: int = 1) -> bytes:
    """A moof and the mdat that follows it, holding every run's bytes in order. Runs whose
    data_offset is left at 0 get the offset that points at their bytes in that mdat (from the
    moof's first byte)."""
    payload = b"".join(s.data for t in trafs for r in t.runs for s in r.samples)
    # Two passes: the moof's length does not depend on the offsets' values.
    def build() -> bytes:
        return box("moof", full_box("mfhd", 0, 0, u32(sequence)), *[traf_of(t) for t in trafs])
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


# ---- live segments ------------------------------------------------------------------------

def tfhd(track_id: int, flags: int = 0x020000) -> bytes:
    """Track fragment header; 0x020000 = default-base-is-moof, no optional fields."""
    return full_box("tfhd", 0, flags, u32(track_id))


def tfdt(time: int, version: int = 1) -> bytes:
    """Base media decode time: 64-bit field in version 1, 32-bit otherwise."""
    return full_box("tfdt", version, 0, u64(time) if version == 1 else u32(time))


def trun(sample_count: int = 1) -> bytes:
    """A run with only the sample count (every sample takes the defaults)."""
    return full_box("trun", 0, 0, u32(sample_count))


def traf(track_id: int | None, time: int | None, version: int = 1) -> bytes:
    children = []
    if track_id is not None:
        children.append(tfhd(track_id))
    if time is not None:
        children.append(tfdt(time, version))
    children.append(trun())
    return box("traf", *children)


def moof(*trafs: bytes, sequence: int = 1) -> bytes:
    return box("moof", full_box("mfhd", 0, 0, u32(sequence)), *trafs)


def mdat(payload: bytes = b"\x00\x01\x02\x03") -> bytes:
    return box("mdat", payload)


def segment(*trafs: bytes, sequence: int = 1) -> bytes:
    """styp, one moof holding the given trafs, then an mdat."""
    return box("styp", b"msdh", u32(0), b"msdhmsix") + moof(*trafs, sequence=sequence) + mdat()


def decode_times(data: bytes) -> list[tuple[int | None, int]]:
    """(track_ID, base media decode time) of every tfdt, in file order."""
    found = []
    for kind, offset, size, header in iter_boxes(data):
        if kind != "moof":
            continue
        for kind2, offset2, size2, _ in iter_boxes(data, offset + 8, offset + size):
            if kind2 != "traf":
                continue
            track_id, times = None, []
            for kind3, offset3, size3, _ in iter_boxes(data, offset2 + 8, offset2 + size2):
                if kind3 == "tfhd":
                    track_id = struct.unpack(">I", data[offset3 + 12 : offset3 + 16])[0]
                elif kind3 == "tfdt" and size3 >= 16:
                    if data[offset3 + 8] == 1:
                        times.append(struct.unpack(">Q", data[offset3 + 12 : offset3 + 20])[0])
                    else:
                        times.append(struct.unpack(">I", data[offset3 + 12 : offset3 + 16])[0])
            found.extend((track_id, t) for t in times)
    return found


def track_fragments(data: bytes) -> list[list[tuple[int, int, list[tuple[int, int, int, int]]]]]:
    """Every moof of a fragmented file as its trafs: (track_ID, tfdt, samples), each sample
    (duration, size, flags, signed composition offset) with the tfhd defaults and the first
    sample flags applied."""
    found = []
    for kind, offset, size, _ in iter_boxes(data):
        if kind != "moof":
            continue
        trafs = []
        for kind2, offset2, size2, _ in iter_boxes(data, offset + 8, offset + size):
            if kind2 != "traf":
                continue
            track_id, time, defaults, runs = 0, 0, {}, []
            for kind3, o, s, _ in iter_boxes(data, offset2 + 8, offset2 + size2):
                p = data[o + 8:o + s]
                flags = int.from_bytes(p[1:4], "big")
                if kind3 == "tfhd":
                    track_id, at = struct.unpack(">I", p[4:8])[0], 8 + 8 * (flags & 1) + 4 * (flags >> 1 & 1)
                    for bit, name in ((0x08, "duration"), (0x10, "size"), (0x20, "flags")):
                        if flags & bit:
                            defaults[name], at = struct.unpack(">I", p[at:at + 4])[0], at + 4
                elif kind3 == "tfdt":
                    time = struct.unpack(">Q", p[4:12])[0] if p[0] == 1 else struct.unpack(">I", p[4:8])[0]
                elif kind3 == "trun":
                    count, at = struct.unpack(">I", p[4:8])[0], 8 + 4 * (flags & 1)
                    first = None
                    if flags & 4:
                        first, at = struct.unpack(">I", p[at:at + 4])[0], at + 4
                    for i in range(count):
                        sample = [defaults.get("duration", 0), defaults.get("size", 0),
                                  first if i == 0 and first is not None else defaults.get("flags", 0), 0]
                        for field, bit in enumerate((0x100, 0x200, 0x400, 0x800)):
                            if flags & bit:
                                sample[field], at = struct.unpack(">I", p[at:at + 4])[0], at + 4
                        sample[3] = signed(sample[3]) if p[0] == 1 else sample[3]
                        runs.append(tuple(sample))
            trafs.append((track_id, time, runs))
        found.append(trafs)
    return found


def hls_rendition(directory: pathlib.Path) -> tuple[bytes, list[bytes]]:
    """The initialisation segment and the media segments (in playlist order) of an fMP4 HLS
    rendition written by ffmpeg."""
    playlist = next(directory.glob("*.m3u8"), None)
    if playlist is not None:
        lines = playlist.read_text().splitlines()
        init_name = next(line.split('URI="')[1].split('"')[0] for line in lines if "EXT-X-MAP" in line)
        names = [line for line in lines if line and not line.startswith("#")]
    else:
        init_name = next(p.name for p in sorted(directory.iterdir()) if p.name.startswith("init"))
        names = sorted(p.name for p in directory.iterdir() if p.suffix == ".m4s")
    return (directory / init_name).read_bytes(), [(directory / n).read_bytes() for n in names]


# ---- transport streams of access units ----------------------------------------------------

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


def recovery_point_sei(*before: tuple[int, bytes]) -> bytes:
    """An H.264 SEI NAL unit body: the messages `before` ((payloadType, payload) each, below
    255 bytes), then a recovery point (recovery_frame_cnt 0, exact_match), then the trailing bits."""
    messages = b"".join(bytes([kind, len(payload)]) + payload for kind, payload in before)
    return b"\x06" + messages + b"\x06\x01\xc4" + b"\x80"


def transport_stream(video: list[tuple[bytes, int | None, int | None]],
                     audio: list[tuple[bytes, int | None]] = (),
                     audio_stream: bool = True, video_stream: bool = True,
                     audio_type: tuple = (0x0F,), video_type: int = 0x1B,
                     audio_after: list[int] | None = None) -> bytes:
    """PAT, PMT, then each video PES (payload, pts, dts) followed by the audio PES (payload,
    pts); audio PES are interleaved after the first video PES, or each after the video PES
    ``audio_after`` gives it (its index; past the last, at the end). ``audio_type`` is the audio
    entry's (stream_type[, ES_info descriptors]); ``video_type`` the video's stream_type
    (0x1B H.264, 0x24 HEVC)."""
    streams = (([(video_type, VIDEO_PID)] if video_stream else []) +
               ([(audio_type[0], AUDIO_PID, *audio_type[1:])] if audio_stream else []))
    packets = [pat(), pmt(streams)]
    counters = {VIDEO_PID: 0, AUDIO_PID: 0}

    def add(pid: int, data: bytes) -> None:
        chunk = packetize(pid, data, counters[pid])
        counters[pid] += len(chunk)
        packets.extend(chunk)

    after = audio_after if audio_after is not None else [0] * len(audio)

    def add_audio(i: int) -> None:
        for (frames, apts), at in zip(audio, after):
            if at == i or (i == len(video) - 1 and at > i):
                add(AUDIO_PID, pes(frames, pts=apts, stream_id=0xC0))

    for i, (payload, pts, dts) in enumerate(video):
        add(VIDEO_PID, pes(payload, pts=pts, dts=dts))
        add_audio(i)
    if not video:
        add_audio(-1)
    return b"".join(packets)


def audio_programme(audio: list[tuple[tuple, list[tuple[bytes, int | None]]]],
                    video: list[tuple[bytes, int | None, int | None]] | None = None) -> bytes:
    """PAT, a PMT listing H.264 video on VIDEO_PID (unless ``video`` is empty) and one audio
    entry per item of ``audio``, ((stream_type[, descriptors]), [(PES payload, pts), ...]), on
    AUDIO_PID, AUDIO_PID + 1, ... in that order; then each video PES and every audio stream's
    PES after it."""
    if video is None:
        video = [(AUD + nal(SPS) + nal(PPS) + nal(idr()), 0, None)]
    pids = [AUDIO_PID + i for i in range(len(audio))]
    streams = ([(0x1B, VIDEO_PID)] if video else []) + [(kind[0], pid, *kind[1:])
                                                      for (kind, _), pid in zip(audio, pids)]
    packets = [pat(), pmt(streams)]
    for payload, pts, dts in video:
        packets += packetize(VIDEO_PID, pes(payload, pts=pts, dts=dts))
    for (_, stream), pid in zip(audio, pids):
        for counter, (payload, pts) in enumerate(stream):
            packets += packetize(pid, pes(payload, pts=pts, stream_id=0xC0), counter)
    return b"".join(packets)


def aac_frames(count: int, size: int = 20, **adts) -> bytes:
    return b"".join(adts_frame(bytes([i & 0xFF]) * size, **adts) for i in range(count))


# ---- reading the written file ----------------------------------------------------------

def top_level(mp4: bytes) -> list[str]:
    return [kind for kind, *_ in iter_boxes(mp4)]


def children(mp4: bytes, path: str) -> list[str]:
    offset, size, header = find_box(mp4, path)
    return [kind for kind, *_ in iter_boxes(mp4, offset + header, offset + size)]


def table(mp4: bytes, track: int, kind: str) -> tuple[int, list[int]] | None:
    """(version, the 32-bit words after version and flags, entry_count first) of a sample
    table box of the track-th trak, or None."""
    payload = tables(mp4, track).get(kind)
    return None if payload is None else (payload[0], entries(payload, skip=4))


def signed(v: int) -> int:
    return v - (1 << 32) if v & 0x80000000 else v


# ---- H.264 parameter sets, field by field ------------------------------------------------

class Bits:
    def __init__(self):
        self.bits = []

    def u(self, value, width):
        self.bits += [(value >> (width - 1 - i)) & 1 for i in range(width)]
        return self

    def ue(self, value):
        code = value + 1
        self.u(0, code.bit_length() - 1)
        return self.u(code, code.bit_length())

    def se(self, value):
        return self.ue(2 * value - 1 if value > 0 else -2 * value)

    def rbsp(self):
        bits = self.bits + [1]
        bits += [0] * (-len(bits) % 8)
        return bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))


def escape(rbsp: bytes) -> bytes:
    """Inserts emulation-prevention bytes as an encoder does."""
    out, zeros = bytearray(), 0
    for byte in rbsp:
        if zeros >= 2 and byte <= 3:
            out.append(3)
            zeros = 0
        out.append(byte)
        zeros = zeros + 1 if byte == 0 else 0
    return bytes(out)


def vui(bits: Bits, sar=None, colour=None) -> Bits:
    """The opening of a VUI: ``sar`` is (aspect_ratio_idc,) or (255, width, height);
    ``colour`` is (primaries, transfer, matrix, full_range), a matrix of None leaving the
    colour description out (the range alone)."""
    bits.u(sar is not None, 1)
    if sar is not None:
        bits.u(sar[0], 8)
        if sar[0] == 255:
            bits.u(sar[1], 16).u(sar[2], 16)
    bits.u(0, 1)                                             # no overscan info
    bits.u(colour is not None, 1)
    if colour is not None:
        primaries, transfer, matrix, full_range = colour
        bits.u(5, 3).u(full_range, 1).u(matrix is not None, 1)
        if matrix is not None:
            bits.u(primaries, 8).u(transfer, 8).u(matrix, 8)
    return bits


def sps_nal(width_mbs_minus1, height_map_units_minus1, *, frame_mbs_only=1, crop=None, profile=66,
        chroma_format_idc=1, poc_type=0, sps_id=0, scaling_deltas=None, bit_depth=8, sar=None,
        colour=None):
    """An SPS NAL unit (header byte first) for pictures of the given macroblock counts;
    ``scaling_deltas`` (High profiles) are the delta_scale values of the first scaling list,
    the others absent. A VUI follows when ``sar`` or ``colour`` is given (see vui)."""
    bits = Bits().ue(sps_id)                                 # seq_parameter_set_id
    if profile in (100, 110, 122, 144, 244):
        bits.ue(chroma_format_idc)
        if chroma_format_idc == 3:
            bits.u(0, 1)                                     # separate_colour_plane_flag
        bits.ue(bit_depth - 8).ue(bit_depth - 8).u(0, 1)     # bit depths, bypass
        bits.u(scaling_deltas is not None, 1)                # seq_scaling_matrix_present_flag
        if scaling_deltas is not None:
            bits.u(1, 1)
            for delta in scaling_deltas:
                bits.se(delta)
            bits.u(0, 7 if chroma_format_idc != 3 else 11)
    bits.ue(0).ue(poc_type)                                  # log2_max_frame_num_minus4, poc type
    if poc_type == 0:
        bits.ue(0)                                           # log2_max_pic_order_cnt_lsb_minus4
    bits.ue(1).u(0, 1)                                       # max_num_ref_frames, gaps
    bits.ue(width_mbs_minus1).ue(height_map_units_minus1)
    bits.u(frame_mbs_only, 1)
    if not frame_mbs_only:
        bits.u(0, 1)                                         # mb_adaptive_frame_field_flag
    bits.u(1, 1)                                             # direct_8x8_inference_flag
    bits.u(crop is not None, 1)
    for value in crop or ():
        bits.ue(value)
    bits.u(sar is not None or colour is not None, 1)         # vui_parameters_present_flag
    if sar is not None or colour is not None:
        vui(bits, sar, colour)
    return bytes([0x67, profile, 0x00, 0x1F]) + escape(bits.rbsp())


def pps_nal(pps_id: int = 0, sps_id: int = 0) -> bytes:
    """A PPS NAL unit for CAVLC pictures of one slice group, referring to SPS `sps_id`."""
    bits = Bits().ue(pps_id).ue(sps_id)
    bits.u(0, 1).u(0, 1).ue(0)            # CAVLC, bottom_field_pic_order, one slice group
    bits.ue(0).ue(0).u(0, 1).u(0, 2)      # reference counts, no weighted prediction
    bits.ue(0).ue(0).ue(0)                # QP and chroma QP offsets 0 (se(v) 0 codes as ue 0)
    bits.u(1, 1).u(0, 1).u(0, 1)          # deblocking control, constrained intra, redundant_pic_cnt
    return b"\x68" + escape(bits.rbsp())


# ---- HEVC NAL units, field by field ------------------------------------------------------

def hevc_header(nal_type: int, temporal_id_plus1: int = 1) -> bytes:
    """The two-byte NAL unit header (layer 0)."""
    return bytes([nal_type << 1, temporal_id_plus1])


HEVC_AUD = nal(hevc_header(35) + b"\x50")
HEVC_CRA, HEVC_IDR, HEVC_TRAIL = 21, 19, 1
PREFIX_SEI = hevc_header(39) + b"\x05\x01\x00\x80"
SUFFIX_SEI = hevc_header(40) + b"\x84\x01\x00\x80"


def hevc_slice(nal_type: int = HEVC_IDR, first_in_picture: bool = True) -> bytes:
    """A slice segment NAL body: first_slice_segment_in_pic_flag, then filler bits."""
    return hevc_header(nal_type) + (b"\xc4\x21" if first_in_picture else b"\x44\x21")


def profile_tier_level(bits: Bits, sub_layers_minus1: int, profile: int = 1, level: int = 60,
                       compatibility: int = 0x60000000, constraints: int = 0x900000000000,
                       sub_layer_profiles: bool = True) -> None:
    bits.u(0, 2).u(0, 1).u(profile, 5).u(compatibility, 32).u(constraints, 48).u(level, 8)
    for _ in range(sub_layers_minus1):
        bits.u(int(sub_layer_profiles), 1).u(1, 1)     # profile and level present
    if sub_layers_minus1:
        bits.u(0, 2 * (8 - sub_layers_minus1))
    for _ in range(sub_layers_minus1):
        if sub_layer_profiles:
            bits.u(0, 2).u(0, 1).u(profile, 5).u(compatibility, 32).u(constraints, 48)
        bits.u(level, 8)


def hevc_vps(vps_id: int = 0, sub_layers_minus1: int = 0, reserved: int = 0xFFFF) -> bytes:
    bits = Bits().u(vps_id, 4).u(1, 1).u(1, 1).u(0, 6).u(sub_layers_minus1, 3).u(1, 1).u(reserved, 16)
    profile_tier_level(bits, sub_layers_minus1)
    bits.u(0, 1).ue(0).ue(0).ue(0)          # sub-layer ordering info for the highest only
    bits.u(0, 6).ue(0).u(0, 1).u(0, 1)      # max layer id, one layer set, no timing, no extension
    return hevc_header(32) + escape(bits.rbsp())


def hevc_sps(width: int = 320, height: int = 240, *, window: tuple[int, int, int, int] | None = None,
             chroma_format_idc: int = 1, separate_planes: int = 0, bit_depth: int = 8,
             sub_layers_minus1: int = 0, sps_id: int = 0, vps_id: int = 0, profile: int = 1,
             level: int = 60, tools: dict | None = None, sar=None, colour=None, **ptl) -> bytes:
    """An SPS NAL unit through the bit depths (what a container reads), then a plausible tail;
    with ``tools`` (a dict, see below) the whole SPS, its VUI opening with ``sar`` and
    ``colour`` (see vui) when either is given."""
    bits = Bits().u(vps_id, 4).u(sub_layers_minus1, 3).u(1, 1)
    profile_tier_level(bits, sub_layers_minus1, profile, level, **ptl)
    bits.ue(sps_id).ue(chroma_format_idc)
    if chroma_format_idc == 3:
        bits.u(separate_planes, 1)
    bits.ue(width).ue(height).u(window is not None, 1)
    for value in window or ():
        bits.ue(value)
    bits.ue(bit_depth - 8).ue(bit_depth - 8)
    bits.ue(4).u(0, 1).ue(0).ue(0).ue(0)    # poc lsb bits, ordering info for the highest only
    if tools is None:
        return hevc_header(33) + escape(bits.rbsp())
    # The coding tools up to the VUI: block sizes, then per `tools` scaling lists, PCM, the
    # short-term sets (each the (negative, positive) picture counts, or "predicted" from the
    # one before) and long-term pictures.
    bits.ue(0).ue(1).ue(0).ue(2).ue(0).ue(0)
    bits.u("scaling" in tools, 1)
    if "scaling" in tools:
        bits.u(1, 1)                        # sps_scaling_list_data_present_flag
        for size in range(4):
            for _ in range(0, 6, 3 if size == 3 else 1):
                bits.u(1, 1)                # explicit coefficients, all deltas 0
                if size > 1:
                    bits.se(0)
                for _ in range(min(64, 1 << (4 + 2 * size))):
                    bits.se(0)
    bits.u(0, 1).u(1, 1).u("pcm" in tools, 1)               # amp, sao, pcm
    if "pcm" in tools:
        bits.u(7, 4).u(7, 4).ue(0).ue(0).u(1, 1)
    sets = tools.get("sets", [(1, 0)])
    bits.ue(len(sets))
    previous = 0
    for i, rps in enumerate(sets):
        if i:
            bits.u(rps == "predicted", 1)
        if rps == "predicted":
            bits.u(0, 1).ue(0)              # delta_rps_sign, abs_delta_rps_minus1
            for _ in range(previous + 1):
                bits.u(1, 1)                # used_by_curr_pic_flag
            previous += 1
        else:
            bits.ue(rps[0]).ue(rps[1])
            for _ in range(rps[0] + rps[1]):
                bits.ue(0).u(1, 1)
            previous = rps[0] + rps[1]
    long_term = tools.get("long_term", 0)
    bits.u(long_term > 0, 1)
    if long_term:
        bits.ue(long_term)
        for i in range(long_term):
            bits.u(i, 8).u(1, 1)            # lt_ref_pic_poc_lsb_sps (8 bits), used flag
    bits.u(1, 1).u(1, 1)                    # temporal mvp, strong intra smoothing
    bits.u(sar is not None or colour is not None, 1)
    if sar is not None or colour is not None:
        vui(bits, sar, colour)
        bits.u(0, 7)                        # the rest of the VUI: no flags set
    bits.u(0, 1)                            # no extensions
    return hevc_header(33) + escape(bits.rbsp())


def hevc_pps(pps_id: int = 0, sps_id: int = 0) -> bytes:
    bits = Bits().ue(pps_id).ue(sps_id).u(0, 7).ue(0).ue(0).ue(0)
    return hevc_header(34) + escape(bits.rbsp())


HEVC_PARAMETER_SETS = (hevc_vps(), hevc_sps(), hevc_pps())


def hevc_picture(nal_type: int = HEVC_TRAIL, *units: bytes, aud: bool = True, slices: int = 1) -> bytes:
    """One access unit: a delimiter (or none), `units` (parameter sets, SEI) and its slices."""
    body = b"".join(nal(u) for u in units)
    body += b"".join(nal(hevc_slice(nal_type, i == 0)) for i in range(slices))
    return (HEVC_AUD if aud else b"") + body


def hevc_stream(*pictures: bytes, **kwargs) -> bytes:
    """A transport stream of HEVC pictures, one PES each, 3000 ticks apart."""
    return transport_stream([(p, 3000 * i, None) for i, p in enumerate(pictures)], video_type=0x24, **kwargs)


# ---- SEI messages ----------------------------------------------------------------------------

def sei_message(payload_type: int, payload: bytes, size: int | None = None) -> bytes:
    """One sei_message: type and size each as 0xFF bytes and a last byte (``size`` may lie)."""
    def number(value: int) -> bytes:
        return b"\xff" * (value // 255) + bytes([value % 255])
    return number(payload_type) + number(len(payload) if size is None else size) + payload


MASTERING_DISPLAY = struct.pack(">8H2I", 13250, 34500, 7500, 3000, 34000, 16000, 15635, 16450, 10000000, 50)
CONTENT_LIGHT_LEVEL = struct.pack(">2H", 1000, 400)


def sei_nal(*messages: bytes, hevc: bool = True, trailing: bool = True) -> bytes:
    """A prefix SEI unit (HEVC) or an SEI unit (H.264) holding the messages."""
    header = hevc_header(39) if hevc else b"\x06"
    return header + escape(b"".join(messages) + (b"\x80" if trailing else b""))


# ---- sample entries and the fragments that name them ------------------------------------

def sample_entries(data: bytes, index: int = 0) -> list[tuple[str, int, int, bytes]]:
    """(format, width, height, payload of its configuration box) of every entry of the
    index-th trak's stsd."""
    stsd = trak_box(data, index, "mdia/minf/stbl/stsd")
    found = []
    for kind, offset, size, header in iter_boxes(stsd, 8):
        payload = stsd[offset + header:offset + size]
        width, height = struct.unpack(">HH", payload[24:28])
        config = [stsd[o + h:o + s] for _, o, s, h in iter_boxes(stsd, offset + header + 78, offset + size)]
        found.append((kind, width, height, config[0] if config else b""))
    return found


def description_indexes(data: bytes, track_id: int = 1) -> list[int | None]:
    """The sample_description_index of each moof's traf of `track_id` (None when absent)."""
    found = []
    for kind, offset, size, _ in iter_boxes(data):
        if kind != "moof":
            continue
        for kind2, offset2, size2, _ in iter_boxes(data, offset + 8, offset + size):
            tfhd = find_box(data, "tfhd", offset2 + 8, offset2 + size2) if kind2 == "traf" else None
            if tfhd is None:
                continue
            p = data[tfhd[0] + 8:tfhd[0] + tfhd[1]]
            if struct.unpack(">I", p[4:8])[0] != track_id:
                continue
            flags = int.from_bytes(p[1:4], "big")
            at = 8 + 8 * (flags & 1)
            found.append(struct.unpack(">I", p[at:at + 4])[0] if flags & 2 else None)
    return found
