"""Tiny builders for byte-level test cases: ISO BMFF boxes and MPEG-TS packets.

Sizes fill themselves in; pass ``size=`` to write a deliberately wrong one.
"""
from __future__ import annotations

import struct

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
            elif kind in ("avc1", "avc3"):
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


# ---- MPEG-TS ----------------------------------------------------------------------------

TS_PACKET = 188


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


def pmt(streams: list[tuple[int, int]], pmt_pid: int = 0x1000, pcr_pid: int = 256) -> bytes:
    """``streams`` is a list of (stream_type, elementary_PID)."""
    entries = b"".join(bytes([st]) + u16(0xE000 | pid) + u16(0xF000) for st, pid in streams)
    length = 9 + len(entries) + 4
    section = bytes([0x02]) + u16(0xB000 | length) + u16(1) + bytes([0xC1, 0, 0])
    section += u16(0xE000 | pcr_pid) + u16(0xF000) + entries + b"\xde\xad\xbe\xef"
    return ts_packet(pmt_pid, b"\x00" + section, pusi=True)


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
    packets, first = [], True
    while data or first:
        chunk, data = data[:184], data[184:]
        packets.append(ts_packet(pid, chunk, pusi=first, counter=counter))
        counter += 1
        first = False
    return packets


def adts_frame(payload: bytes, *, protection_absent: bool = True, profile: int = 1,
               sampling_index: int = 3, channels: int = 2) -> bytes:
    """An ADTS frame around a raw AAC payload (profile 1 = AAC LC)."""
    header_length = 7 if protection_absent else 9
    length = header_length + len(payload)
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
