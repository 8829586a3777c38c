"""HEVC in a transport stream (stream_type 0x24), built unit by unit: where access units
begin, which pictures are sync samples, which parameter sets describe the stream, the picture
size its SPS gives, and the hvc1 sample entry with the hvcC written from them."""
from __future__ import annotations

import struct

import pytest

import _plexo
from builders import (HEVC_CRA, HEVC_IDR, HEVC_PARAMETER_SETS, HEVC_TRAIL, PREFIX_SEI, SUFFIX_SEI,
                      box_payload, hevc_header, hevc_picture, hevc_pps, hevc_slice, hevc_sps,
                      hevc_stream, hevc_vps, nal, table)

VPS, SPS, PPS = HEVC_PARAMETER_SETS
ENTRY = "moov/trak/mdia/minf/stbl/stsd/hvc1"


def key(*units: bytes, nal_type: int = HEVC_IDR, **kwargs) -> bytes:
    return hevc_picture(nal_type, *(units or HEVC_PARAMETER_SETS), **kwargs)


def convert(*pictures: bytes) -> bytes:
    return _plexo.convert_ts_to_mp4(hevc_stream(*pictures))


def samples(out: bytes) -> list[list[bytes]]:
    """Each video sample as its NAL units."""
    offset = table(out, 0, "stco")[1][1]
    found = []
    for size in table(out, 0, "stsz")[1][2:]:
        sample, units = out[offset:offset + size], []
        while sample:
            length = struct.unpack(">I", sample[:4])[0]
            units.append(sample[4:4 + length])
            sample = sample[4 + length:]
        found.append(units)
        offset += size
    return found


def hvcc(out: bytes) -> bytes:
    return box_payload(out, ENTRY + "/hvcC")


def picture_size(out: bytes) -> tuple[int, int]:
    return struct.unpack(">HH", box_payload(out, ENTRY)[24:28])


# ---- access units ---------------------------------------------------------------------------

@pytest.mark.parametrize("aud", [True, False], ids=["delimiters", "first-slice-flags"])
def test_access_units_begin_at_delimiters_or_first_slices(aud):
    # two slices per picture; the second slice segment of a picture stays in it
    out = convert(key(aud=aud, slices=2), hevc_picture(HEVC_TRAIL, aud=aud, slices=2),
                  hevc_picture(HEVC_TRAIL, aud=aud))
    assert [len(units) for units in samples(out)] == [2, 2, 1]
    assert samples(out)[1] == [hevc_slice(HEVC_TRAIL), hevc_slice(HEVC_TRAIL, False)]


def test_prefix_sei_joins_the_next_picture_and_suffix_sei_stays():
    # no delimiters: the prefix SEI after a picture opens the next one, the suffix SEI does not
    body = key(aud=False) + nal(SUFFIX_SEI) + nal(PREFIX_SEI) + nal(hevc_slice(HEVC_TRAIL))
    out = convert(body, hevc_picture(HEVC_TRAIL, aud=False))
    assert samples(out)[:2] == [[hevc_slice(HEVC_IDR), SUFFIX_SEI], [PREFIX_SEI, hevc_slice(HEVC_TRAIL)]]


def test_parameter_sets_and_delimiters_travel_in_the_sample_entry_only():
    out = convert(key(), key(VPS, SPS, PPS, PREFIX_SEI))
    assert samples(out) == [[hevc_slice(HEVC_IDR)], [PREFIX_SEI, hevc_slice(HEVC_IDR)]]


@pytest.mark.parametrize("nal_type", range(16, 24))
def test_random_access_pictures_are_sync_samples(nal_type):
    out = convert(key(), hevc_picture(HEVC_TRAIL), hevc_picture(nal_type), hevc_picture(HEVC_TRAIL))
    assert table(out, 0, "stss")[1] == [2, 1, 3]


def test_pictures_before_the_parameter_sets_wait_for_a_random_access_picture():
    # a CRA after the parameter sets is the first picture kept; the trailing picture before it goes
    out = convert(hevc_picture(HEVC_IDR), hevc_picture(HEVC_TRAIL, *HEVC_PARAMETER_SETS),
                  key(nal_type=HEVC_CRA), hevc_picture(HEVC_TRAIL))
    assert [units[-1] for units in samples(out)] == [hevc_slice(HEVC_CRA), hevc_slice(HEVC_TRAIL)]


# ---- parameter sets and the sample entry -----------------------------------------------------

def test_the_hvcc_carries_the_sps_fields_and_one_array_per_parameter_set():
    sps = hevc_sps(profile=2, level=93, compatibility=0x20000000, constraints=0xB00000000000,
                   bit_depth=10, sub_layers_minus1=2)
    record = hvcc(convert(key(VPS, sps, PPS)))
    assert record[:13] == bytes([1, 2, 0x20, 0, 0, 0, 0xB0, 0, 0, 0, 0, 0, 93])
    # no spatial segmentation or parallelism indication, 4:2:0, 10-bit, 3 temporal layers,
    # nested, 4-byte lengths, three arrays
    assert record[13:23] == bytes([0xF0, 0x00, 0xFC, 0xFD, 0xFA, 0xFA, 0, 0, (3 << 3) | 4 | 3, 3])
    arrays, at = [], 23
    for _ in range(3):
        kind, count, length = record[at], *struct.unpack(">HH", record[at + 1:at + 5])
        arrays.append((kind, count, record[at + 5:at + 5 + length]))
        at += 5 + length
    assert arrays == [(0x80 | 32, 1, VPS), (0x80 | 33, 1, sps), (0x80 | 34, 1, PPS)] and at == len(record)


@pytest.mark.parametrize("sps, size", [
    (hevc_sps(320, 240), (320, 240)),
    (hevc_sps(320, 240, window=(1, 2, 0, 4)), (314, 232)),               # 4:2:0: 2 across, 2 down
    (hevc_sps(320, 240, window=(1, 2, 0, 4), chroma_format_idc=2), (314, 236)),  # 4:2:2: 1 down
    (hevc_sps(320, 240, window=(1, 2, 0, 4), chroma_format_idc=3), (317, 236)),  # 4:4:4: 1 each
    (hevc_sps(320, 240, window=(1, 2, 0, 4), chroma_format_idc=3, separate_planes=1), (317, 236)),
    (hevc_sps(320, 240, window=(1, 2, 0, 4), chroma_format_idc=0), (317, 236)),  # monochrome
    (hevc_sps(1920, 1088, window=(0, 0, 0, 4), sub_layers_minus1=6), (1920, 1080)),  # 7 sub-layers
    (hevc_sps(1920, 1088, window=(0, 0, 0, 4), sub_layers_minus1=6, sub_layer_profiles=False), (1920, 1080)),
    (hevc_sps(16888, 16888), (16888, 16888)),
], ids=["plain", "420", "422", "444", "separate-planes", "monochrome", "7-sub-layers",
        "7-sub-layers-levels-only", "largest"])
def test_the_picture_size_is_the_conformance_window(sps, size):
    out = convert(key(VPS, sps, PPS))
    assert picture_size(out) == size
    assert [w >> 16 for w in struct.unpack(">II", box_payload(out, "moov/trak/tkhd")[76:84])] == list(size)


def test_emulation_prevention_bytes_are_removed_before_the_sps_is_read():
    # all-zero compatibility and constraint flags put 00 00 03 escapes inside profile_tier_level
    sps = hevc_sps(640, 360, compatibility=0, constraints=0)
    assert b"\x00\x00\x03" in sps
    assert picture_size(convert(key(VPS, sps, PPS))) == (640, 360)


def test_the_first_readable_parameter_sets_are_kept_and_a_pps_must_refer_to_the_sps():
    later = hevc_sps(640, 360)
    out = convert(key(hevc_pps(sps_id=3), VPS, SPS, hevc_pps(pps_id=1)), key(VPS, later, PPS))
    assert picture_size(out) == (320, 240)
    assert hevc_pps(pps_id=1) in hvcc(out)


def test_a_vps_the_sps_does_not_name_gives_way_to_the_one_it_names():
    named = hevc_vps(vps_id=2)
    out = convert(key(hevc_vps(vps_id=1), hevc_sps(vps_id=2), PPS), key(named, hevc_sps(vps_id=2), PPS))
    record = hvcc(out)
    assert record[28:28 + len(named)] == named
    assert len(samples(out)) == 1  # the first picture had no VPS to open it


@pytest.mark.parametrize("units", [
    (SPS, PPS),                                                       # missing VPS
    (hevc_vps(reserved=0), SPS, PPS),                                 # not a VPS
    (VPS, hevc_sps(sub_layers_minus1=7), PPS),                        # 8 sub-layers
    (VPS, hevc_sps(0, 240), PPS),                                     # no width
    (VPS, hevc_sps(16896, 240), PPS),                                 # wider than any level
    (VPS, hevc_sps(2 ** 31, 2 ** 31), PPS),                           # absurd
    (VPS, hevc_sps(320, 240, window=(80, 80, 0, 0)), PPS),            # the window leaves nothing
    (VPS, hevc_sps(sps_id=16), hevc_pps(sps_id=16)),                  # SPS id out of range
    (VPS, SPS, hevc_pps(pps_id=64)),                                  # PPS id out of range
    (VPS, SPS[:12], PPS),                                             # cut inside profile_tier_level
    (VPS, SPS, hevc_header(34)),                                      # PPS of a bare header
    (hevc_header(32)[:1], hevc_header(33)[:1], hevc_header(34)[:1]),  # truncated NAL headers
], ids=["missing-vps", "vps-reserved-bits", "sub-layers-8", "width-0", "width-16896", "absurd",
        "window-too-large", "sps-id-16", "pps-id-64", "cut-sps", "bare-pps", "truncated-headers"])
@pytest.mark.parametrize("function", [_plexo.convert_ts_to_mp4, _plexo.extract_thumbnail_from_ts],
                         ids=["convert", "thumbnail"])
def test_a_stream_without_readable_parameter_sets_is_refused(function, units):
    with pytest.raises(ValueError, match="^No HEVC parameter sets found$"):
        function(hevc_stream(key(*units), hevc_picture(HEVC_TRAIL), key(*units)))


def test_vvc_video_is_refused_by_name():
    data = hevc_stream(key()).replace(b"\x24\xe1\x00", b"\x33\xe1\x00", 1)
    with pytest.raises(ValueError, match=r"^Unsupported video stream: VVC video \(stream_type 0x33\); "
                                         r"only H.264 and HEVC video are converted$"):
        _plexo.convert_ts_to_mp4(data)
