"""extract_thumbnail_from_ts on hand-built transport streams."""
from __future__ import annotations

import pytest

import _plexo
from builders import adts_frame, packetize, pat, pes, pmt, pps_nal, sps_nal

thumb = _plexo.extract_thumbnail_from_ts
VIDEO_PID = 0x100
SPS = sps_nal(19, 14)  # 320x240
PPS = pps_nal()
PARAMETER_SETS = b"\x00\x00\x00\x01" + SPS + b"\x00\x00\x00\x01" + PPS
AUD = b"\x00\x00\x00\x01\x09\xf0"
PMT = pmt([(0x1B, VIDEO_PID), (0x0F, 0x101)])


def stream(*pictures: bytes) -> bytes:
    """PAT, PMT (H.264 and an AAC stream that never sends a packet), then one video PES per
    picture."""
    data = pat() + PMT
    counter = 0
    for i, es in enumerate(pictures):
        packets = packetize(VIDEO_PID, pes(es, pts=90_000 + 3_600 * i), counter)
        counter += len(packets)
        data += b"".join(packets)
    return data


# Slice headers: first_mb_in_slice is the first Exp-Golomb code after the NAL header;
# 0x88 starts with "1" (first_mb 0), 0x48 with "010" (first_mb 1).
IDR_FIRST = b"\x65\x88\x84\x00\x21"
IDR_SECOND = b"\x65\x48\x84\x00\x22"
P_SLICE = b"\x41\x9a\x02"


def test_parameter_sets_then_the_idr_slice_with_its_own_start_code():
    es = b"\x00\x00\x00\x01" + SPS + b"\x00\x00\x00\x01" + PPS + b"\x00\x00\x01" + IDR_FIRST
    out = thumb(stream(es, AUD + b"\x00\x00\x01" + P_SLICE))
    assert out == b"\x00\x00\x00\x01" + SPS + b"\x00\x00\x00\x01" + PPS + b"\x00\x00\x01" + IDR_FIRST


def test_every_slice_of_the_idr_picture_is_returned():
    es = (b"\x00\x00\x00\x01" + SPS + b"\x00\x00\x00\x01" + PPS
          + b"\x00\x00\x00\x01" + IDR_FIRST + b"\x00\x00\x01" + IDR_SECOND)
    out = thumb(stream(AUD + es, AUD + b"\x00\x00\x01" + P_SLICE))
    assert out.endswith(b"\x00\x00\x00\x01" + IDR_FIRST + b"\x00\x00\x01" + IDR_SECOND)
    assert P_SLICE not in out


@pytest.mark.parametrize("opener", [
    AUD,                                   # delimiter
    b"\x00\x00\x01\x06\x05\x01\x00",       # SEI
    b"\x00\x00\x01" + IDR_FIRST,           # a new picture's first slice
])
def test_the_picture_ends_where_the_next_access_unit_opens(opener):
    es = b"\x00\x00\x01" + IDR_FIRST + b"\x00\x00\x01" + IDR_SECOND + opener + b"\x00\x00\x01" + IDR_SECOND
    out = thumb(stream(PARAMETER_SETS + es))
    assert out == PARAMETER_SETS + b"\x00\x00\x01" + IDR_FIRST + b"\x00\x00\x01" + IDR_SECOND


def test_units_between_slices_that_are_not_slices_are_left_out():
    filler = b"\x00\x00\x01\x0c\xff\xff"
    es = b"\x00\x00\x01" + IDR_FIRST + filler + b"\x00\x00\x01" + IDR_SECOND
    assert thumb(stream(PARAMETER_SETS + es)) == PARAMETER_SETS + b"\x00\x00\x01" + IDR_FIRST + b"\x00\x00\x01" + IDR_SECOND


def test_without_parameter_sets_no_thumbnail_is_made():
    # A picture no decoder can open is no thumbnail.
    with pytest.raises(ValueError, match="^No H.264 parameter sets found$"):
        thumb(stream(b"\x00\x00\x01" + P_SLICE + b"\x00\x00\x00\x01" + IDR_FIRST))


def test_a_start_code_without_a_header_byte_ends_the_search():
    with pytest.raises(ValueError, match="^No I-frame found in video stream$"):
        thumb(stream(b"\x00\x00\x01" + P_SLICE + b"\x00\x00\x01"))


@pytest.mark.parametrize("data, message", [
    (b"", "No valid TS sync byte found"),
    (b"\x00" * 400, "No valid TS sync byte found"),
    (pat() + PMT, "No video data found"),
    (pat() + pmt([(0x0F, 0x101)]) + b"".join(packetize(0x101, pes(adts_frame(b"\0" * 9) * 3, pts=0))),
     "No video data found"),  # radio: a programme of audio alone
    (stream(b"\x00\x00\x01" + P_SLICE, b"\x00\x00\x01" + P_SLICE), "No I-frame found in video stream"),
])
def test_messages(data, message):
    with pytest.raises(ValueError) as raised:
        thumb(data)
    assert raised.value.args == (message,)


def test_parameter_sets_after_the_first_key_frame_are_still_found():
    # The first IDR picture comes before the parameter sets, which cannot open it: the search
    # goes on until both are known, and the picture is the first IDR after them.
    later_idr = b"\x00\x00\x01\x65\x88\x84\x00\x23"
    later = AUD + PARAMETER_SETS + b"\x00\x00\x01" + P_SLICE
    out = thumb(stream(AUD + b"\x00\x00\x01" + IDR_FIRST, later, AUD + later_idr, AUD + b"\x00\x00\x01" + P_SLICE))
    assert out == PARAMETER_SETS + later_idr


def test_pictures_after_the_first_key_frame_do_not_change_it():
    es = b"\x00\x00\x00\x01" + SPS + b"\x00\x00\x00\x01" + PPS + b"\x00\x00\x01" + IDR_FIRST
    first = thumb(stream(es, AUD + b"\x00\x00\x01" + P_SLICE))
    # a second key frame and a picture with no end follow
    assert thumb(stream(es, AUD + b"\x00\x00\x01" + IDR_FIRST, AUD + b"\x00\x00\x01")) == first
