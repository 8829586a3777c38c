"""How boxes are read and written back, seen through defragment_mp4: the movie box's children
that need no change come out byte for byte, so the child-list rules show in its output."""
from __future__ import annotations

import _plexo
from builders import box, box_payload, iter_boxes, large_box, find_box, u32
from builders import FTYP, Run, Traf, fragment, mvhd, samples, trak

FRAG = fragment(Traf(1, [Run(samples(b"abc"), data_offset=0)]))


def moov_children(*extra: bytes) -> list[tuple[str, bytes]]:
    data = FTYP + box("moov", mvhd(), trak(1, 1000), *extra) + FRAG
    out = _plexo.defragment_mp4(data)
    off, size, header = find_box(out, "moov")
    return [(kind, out[o:o + s]) for kind, o, s, _ in iter_boxes(out, off + header, off + size)]


def test_unchanged_children_are_written_back_byte_for_byte():
    udta = box("udta", box("name", b"hello"))
    assert moov_children(udta)[-1] == ("udta", udta)


def test_empty_payload_is_written_as_eight_bytes():
    assert moov_children(box("free"))[-1] == ("free", u32(8) + b"free")


def test_trailing_bytes_shorter_than_a_header_are_ignored():
    kinds = [k for k, _ in moov_children(box("free"), b"\1\2\3\4\5")]
    assert kinds == ["mvhd", "trak", "free"]


def test_truncated_child_ends_the_list_without_error():
    kinds = [k for k, _ in moov_children(box("skip"), u32(100) + b"udta" + b"\0" * 10)]
    assert kinds == ["mvhd", "trak", "skip"]


def test_size_zero_child_runs_to_the_end_of_its_parent():
    children = moov_children(u32(0) + b"udta" + b"rest-of-moov" + box("free"))
    assert children[-1] == ("udta", box("udta", b"rest-of-moov" + box("free")))


def test_size_below_header_gives_empty_payload_and_next_box_eight_bytes_on():
    children = moov_children(u32(5) + b"wide", box("free", b"x"))
    assert children[-2:] == [("wide", u32(8) + b"wide"), ("free", box("free", b"x"))]


def test_64_bit_size_is_read_and_written_back_in_32_bits():
    children = moov_children(large_box("udta", b"12345678"))
    assert children[-1] == ("udta", box("udta", b"12345678"))


def test_top_level_64_bit_sizes_are_followed():
    data = FTYP + large_box("free", b"z" * 20) + box("moov", mvhd(), trak(1, 1000)) + FRAG
    out = _plexo.defragment_mp4(data)
    assert box_payload(out, "mdat") == b"abc"
