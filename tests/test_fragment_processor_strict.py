"""The package's FragmentedMP4Processor refuses a live segment cut short (strict by default),
saying what is missing, before any base is taken from it; strict=False passes it on as the
extension's processor does."""
from __future__ import annotations

import pytest

import _plexo
import plexo
from builders import find_box
from conftest import FIXTURES

HLS = FIXTURES / "hls_av"


def processor() -> plexo.FragmentedMP4Processor:
    p = plexo.FragmentedMP4Processor()
    p.set_init_segment((HLS / "init.mp4").read_bytes())
    return p


def segment() -> bytes:
    return (HLS / "seg0.m4s").read_bytes()


def cut_in_mdat() -> bytes:
    data = segment()
    at, size, _ = find_box(data, "mdat")
    return data[:at + size // 2]


def mdat_gone() -> bytes:
    data = segment()
    return data[:find_box(data, "mdat")[0]]


def cut_in_moof() -> bytes:
    data = segment()
    at, size, _ = find_box(data, "moof")
    return data[:at + size // 2]


def test_a_whole_segment_is_rebased_as_the_extension_does():
    expected = _plexo.FragmentedMP4Processor()
    expected.set_init_segment((HLS / "init.mp4").read_bytes())
    assert processor().process_segment(segment()) == expected.process_segment(segment())


@pytest.mark.parametrize("data, message", [
    (cut_in_mdat(), "Segment cut short: a track run reaches past its media data"),
    (mdat_gone(), "Segment has a moof without its mdat"),
    (cut_in_moof(), "Segment cut short: its moof box runs past its end"),
    (b"garbage, not a segment at all", "Segment holds no box"),
    (b"", "Segment holds no box"),
], ids=["cut-in-mdat", "mdat-gone", "cut-in-moof", "garbage", "empty"])
def test_a_segment_cut_short_is_refused_saying_what_is_missing(data, message):
    p = processor()
    with pytest.raises(ValueError, match=f"^{message}$"):
        p.process_segment(data)
    assert p.base_decode_time is None  # nothing was taken from it


def test_a_media_data_box_cut_after_its_samples_is_still_cut_short():
    data = segment() + b"\0\0\1\0mdat" + b"x" * 10  # a second mdat that runs past the end
    with pytest.raises(ValueError, match="^Segment cut short: its mdat box runs past its end$"):
        processor().process_segment(data)


@pytest.mark.parametrize("data", [cut_in_mdat(), mdat_gone(), b"garbage, not a segment at all"],
                         ids=["cut-in-mdat", "mdat-gone", "garbage"])
def test_strict_false_passes_the_segment_on_as_the_extension_does(data):
    expected = _plexo.FragmentedMP4Processor()
    expected.set_init_segment((HLS / "init.mp4").read_bytes())
    assert processor().process_segment(data, strict=False) == expected.process_segment(data)
