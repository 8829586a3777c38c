"""Builders and readers for live fragmented MP4 segments (moof/traf/tfhd/tfdt)."""
from __future__ import annotations

import pathlib
import struct

from builders import box, full_box, iter_boxes, u32, u64


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
