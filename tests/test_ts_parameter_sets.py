"""Which parameter sets a transport stream's video is described by: the first SPS that can be
read as far as its picture size and the first readable PPS that refers to it, wherever in the
stream they come. Pictures before them are left out up to the next IDR picture; a stream
without them gives no file and no thumbnail. The picture size written to the track comes from
that SPS: macroblock counts, frame or field coding, and cropping in the units the chroma
format and field coding use."""
from __future__ import annotations

import struct

import pytest

import _plexo
from builders import (AUD, box_payload, idr, nal, non_idr, patched, pes_start, pps_nal, sample_bytes,
                      sample_entries, sps_nal, transport_stream, with_zeros_in_sps)

GOOD_SPS = sps_nal(79, 44)                       # 1280x720
OTHER_SPS = sps_nal(39, 29)                      # 640x480
PPS = pps_nal()
# Unreadable: 80 zero bits where the SPS id starts; cut before the size fields; an id above 31.
ZEROS_SPS = GOOD_SPS[:4] + b"\x00\x00\x03" * 5 + b"\x80\xff"
UNREADABLE = {
    "80-leading-zero-bits": ZEROS_SPS,
    "cut-before-the-size": GOOD_SPS[:5],
    "sps-id-32": sps_nal(79, 44, sps_id=32),
}
AVCC = "moov/trak/mdia/minf/stbl/stsd/avc1/avcC"


def key_picture(*parameter_sets: bytes, first_mb_zero: bool = True) -> bytes:
    return AUD + b"".join(nal(unit) for unit in parameter_sets) + nal(idr(first_mb_zero))


def p_picture() -> bytes:
    return AUD + nal(non_idr())


def ts(*pictures: bytes) -> bytes:
    return transport_stream([(body, 3000 * i, None) for i, body in enumerate(pictures)])


def avcc_units(out: bytes) -> tuple[bytes, bytes]:
    avcc = box_payload(out, AVCC)
    sps_length = struct.unpack(">H", avcc[6:8])[0]
    sps = avcc[8:8 + sps_length]
    pps_at = 8 + sps_length + 1
    pps_length = struct.unpack(">H", avcc[pps_at:pps_at + 2])[0]
    return sps, avcc[pps_at + 2:pps_at + 2 + pps_length]


def picture_size(out: bytes) -> tuple[int, int]:
    """The picture size of the converted file, which its tkhd and its avc1 entry must agree on."""
    tkhd = box_payload(out, "moov/trak/tkhd")
    avc1 = box_payload(out, "moov/trak/mdia/minf/stbl/stsd/avc1")
    size = struct.unpack(">HH", avc1[24:28])
    assert (struct.unpack(">I", tkhd[-8:-4])[0] >> 16, struct.unpack(">I", tkhd[-4:])[0] >> 16) == size
    return size


def thumbnail_of(sps: bytes, pps: bytes, slice_body: bytes) -> bytes:
    return b"\x00\x00\x00\x01" + sps + b"\x00\x00\x00\x01" + pps + b"\x00\x00\x00\x01" + slice_body


# ---- the picture size ----------------------------------------------------------------------

@pytest.mark.parametrize("unit, size", [
    (sps_nal(119, 67, crop=(0, 0, 0, 4), profile=100), (1920, 1080)),       # 1088 coded, 8 lines cropped
    (sps_nal(79, 44), (1280, 720)),                                          # baseline: no chroma fields
    (sps_nal(119, 33, frame_mbs_only=0), (1920, 1088)),                      # field pairs, no cropping
    (sps_nal(119, 33, frame_mbs_only=0, crop=(0, 0, 0, 2), profile=100), (1920, 1080)),  # crop unit 4 lines
    (sps_nal(19, 7, frame_mbs_only=0, crop=(0, 0, 0, 4)), (320, 240)),       # 256 coded, 16 lines cropped
    (sps_nal(39, 29, crop=(2, 2, 0, 0), profile=244, chroma_format_idc=3), (636, 480)),  # 4:4:4: unit 1
    (sps_nal(44, 35, poc_type=2, crop=(0, 4, 0, 6)), (712, 564)),
    # A width code long enough to hold two zero bytes makes the encoder insert 00 00 03, which
    # is not read as a field.
    (sps_nal((1 << 23) + 39, 29), (((1 << 23) + 40) * 16 % 65536, 480)),
], ids=["1080p", "720p-baseline", "interlaced", "1080i-cropped", "240i-cropped", "444", "poc2",
        "emulation-prevention"])
def test_size_from_sps(unit, size):
    assert picture_size(_plexo.convert_ts_to_mp4(ts(key_picture(unit, PPS)))) == size


@pytest.mark.parametrize("name", ["ts_bframes.ts", "ts_1080p.ts", "ts_interlaced.ts", "ts_192.m2ts"])
def test_real_streams_keep_their_size(name, fixture_bytes, ffprobe):
    from media_tools import streams
    source = fixture_bytes(name)
    expected = next(s for s in streams(source, ".ts") if s["codec_type"] == "video")
    assert picture_size(_plexo.convert_ts_to_mp4(source)) == (expected["width"], expected["height"])


# ---- an unreadable SPS is passed over --------------------------------------------------

@pytest.mark.parametrize("unreadable", list(UNREADABLE.values()), ids=list(UNREADABLE))
def test_an_unreadable_sps_gives_way_to_a_readable_one_in_the_same_picture(unreadable):
    out = _plexo.convert_ts_to_mp4(ts(key_picture(unreadable, OTHER_SPS, PPS)))
    assert avcc_units(out) == (OTHER_SPS, PPS) and picture_size(out) == (640, 480)


@pytest.mark.parametrize("unreadable", list(UNREADABLE.values()), ids=list(UNREADABLE))
def test_an_unreadable_sps_gives_way_to_a_later_readable_one(unreadable):
    data = ts(key_picture(unreadable, PPS), p_picture(), key_picture(GOOD_SPS, PPS, first_mb_zero=True))
    out = _plexo.convert_ts_to_mp4(data)
    assert avcc_units(out) == (GOOD_SPS, PPS)
    assert picture_size(out) == (1280, 720)
    # The pictures before the readable SPS are left out: the file starts at the IDR it came with.
    assert sample_bytes(out) == [b"\x00\x00\x00\x04" + idr()]
    assert _plexo.extract_thumbnail_from_ts(data) == thumbnail_of(GOOD_SPS, PPS, idr())


@pytest.mark.parametrize("function", [_plexo.convert_ts_to_mp4, _plexo.extract_thumbnail_from_ts])
@pytest.mark.parametrize("unreadable", list(UNREADABLE.values()), ids=list(UNREADABLE))
def test_only_unreadable_sps_is_refused(function, unreadable):
    data = ts(key_picture(unreadable, PPS), p_picture(), key_picture(unreadable, PPS))
    with pytest.raises(ValueError, match="^No H.264 parameter sets found$"):
        function(data)


# Deltas that H.264 does not allow (beyond -128..127), as large as the signed code holds: the
# scaling list is passed over by its bits all the same.
@pytest.mark.parametrize("delta", [2**31 - 1, -(2**31 - 1)])
def test_scaling_list_deltas_at_the_limits_of_the_code_are_passed_over(delta):
    sps = sps_nal(79, 44, profile=100, scaling_deltas=[delta] + [0] * 15)
    out = _plexo.convert_ts_to_mp4(ts(key_picture(sps, PPS)))
    assert picture_size(out) == (1280, 720)


def test_the_scaling_list_overflow_reproducer_is_refused():
    sps = bytes.fromhex("6764001fad80000003" "00fffffffe80")
    with pytest.raises(ValueError, match="^No H.264 parameter sets found$"):
        _plexo.convert_ts_to_mp4(ts(key_picture(sps, PPS)))


# ---- no parameter sets -------------------------------------------------------------------

@pytest.mark.parametrize("pictures", [
    (key_picture(), p_picture(), key_picture()),     # none at all
    (key_picture(GOOD_SPS), p_picture()),            # no PPS
    (key_picture(PPS), p_picture()),                 # no SPS
], ids=["none", "sps-only", "pps-only"])
@pytest.mark.parametrize("function", [_plexo.convert_ts_to_mp4, _plexo.extract_thumbnail_from_ts])
def test_a_stream_without_parameter_sets_is_refused(function, pictures):
    with pytest.raises(ValueError, match="^No H.264 parameter sets found$"):
        function(ts(*pictures))


def test_without_parameter_sets_or_key_frame_the_thumbnail_names_the_missing_key_frame():
    with pytest.raises(ValueError, match="^No I-frame found in video stream$"):
        _plexo.extract_thumbnail_from_ts(ts(p_picture(), p_picture()))


# ---- parameter sets that come late -------------------------------------------------------

def test_parameter_sets_arriving_only_with_the_second_idr():
    data = ts(key_picture(), p_picture(), p_picture(), key_picture(GOOD_SPS, PPS), p_picture())
    out = _plexo.convert_ts_to_mp4(data)
    assert avcc_units(out) == (GOOD_SPS, PPS)
    assert sample_bytes(out) == [b"\x00\x00\x00\x04" + idr(), b"\x00\x00\x00\x04" + non_idr()]
    # The file's time starts with the first picture it keeps.
    stts = box_payload(out, "moov/trak/mdia/minf/stbl/stts")
    assert struct.unpack(">II", stts[8:16])[0] == 2
    assert _plexo.extract_thumbnail_from_ts(data) == thumbnail_of(GOOD_SPS, PPS, idr())


def test_pictures_between_late_parameter_sets_and_the_next_idr_are_left_out():
    # The parameter sets come with a P picture, which needs an earlier picture to decode.
    data = ts(key_picture(), AUD + nal(GOOD_SPS) + nal(PPS) + nal(non_idr()), key_picture())
    assert sample_bytes(_plexo.convert_ts_to_mp4(data)) == [b"\x00\x00\x00\x04" + idr()]


def test_p_pictures_before_the_first_idr_stay_when_parameter_sets_lead():
    data = ts(AUD + nal(GOOD_SPS) + nal(PPS) + nal(non_idr()), key_picture())
    out = _plexo.convert_ts_to_mp4(data)
    assert sample_bytes(out) == [b"\x00\x00\x00\x04" + non_idr(), b"\x00\x00\x00\x04" + idr()]


# ---- a PPS belongs to its SPS ------------------------------------------------------------

def test_a_pps_for_another_sps_is_passed_over():
    other_pps = pps_nal(sps_id=1)
    data = ts(key_picture(GOOD_SPS, other_pps), key_picture(GOOD_SPS, PPS))
    out = _plexo.convert_ts_to_mp4(data)
    assert avcc_units(out) == (GOOD_SPS, PPS)
    assert sample_bytes(out) == [b"\x00\x00\x00\x04" + idr()]


def test_a_pps_before_its_sps_is_kept_and_one_for_another_sps_is_dropped():
    kept = ts(AUD + nal(PPS) + nal(GOOD_SPS) + nal(idr()))
    assert avcc_units(_plexo.convert_ts_to_mp4(kept)) == (GOOD_SPS, PPS)
    dropped = ts(AUD + nal(pps_nal(sps_id=3)) + nal(GOOD_SPS) + nal(idr()), key_picture(GOOD_SPS, PPS))
    assert avcc_units(_plexo.convert_ts_to_mp4(dropped)) == (GOOD_SPS, PPS)


def test_the_first_readable_sps_stays_the_streams():
    out = _plexo.convert_ts_to_mp4(ts(key_picture(GOOD_SPS, OTHER_SPS, PPS)))
    assert avcc_units(out)[0] == GOOD_SPS and picture_size(out) == (1280, 720)


def test_a_different_sps_later_describes_the_pictures_from_there():
    out = _plexo.convert_ts_to_mp4(ts(key_picture(GOOD_SPS, PPS), key_picture(OTHER_SPS, PPS)))
    assert avcc_units(out)[0] == GOOD_SPS
    assert [entry[1:3] for entry in sample_entries(out)] == [(1280, 720), (640, 480)]


# ---- a real stream whose first parameter sets are lost -----------------------------------

def lost_first_parameter_sets(data: bytes, how: str) -> bytes:
    """`data` with its first SPS made unreadable, or with the first video PES's header length
    running past its packet (which loses the parameter sets that packet carried)."""
    if how == "unreadable-sps":
        return with_zeros_in_sps(data)
    return patched(data, pes_start(data, 256) + 8, b"\xff")


@pytest.mark.parametrize("how", ["unreadable-sps", "pes-header-past-the-packet"])
def test_a_real_stream_starts_at_the_first_idr_its_parameter_sets_open(fixture_bytes, ffmpeg, ffprobe, how):
    import media_tools as mt
    source = fixture_bytes("ts_bframes.ts")  # five IDR pictures, each with its parameter sets
    out = _plexo.convert_ts_to_mp4(lost_first_parameter_sets(source, how))
    assert mt.probe_errors(out) == "" and mt.decode_errors(out) == ""
    src_frames, got_frames = mt.frames(source, "v:0", ".ts"), mt.frames(out, "v:0")
    second_key = [i for i, f in enumerate(src_frames) if f["key_frame"] == 1][1]
    kept = src_frames[second_key:]
    assert len(got_frames) == len(kept)
    assert mt.framemd5(out, "0:v:0") == mt.framemd5(source, "0:v:0", ".ts")[second_key:]
    src_t, got_t = mt.frame_times(kept), mt.frame_times(got_frames)
    assert max(abs((g - got_t[0]) - (s - src_t[0])) for s, g in zip(src_t, got_t)) < 0.002
    # The audio keeps its place against the pictures that remain.
    src_audio, got_audio = (mt.frame_times(mt.frames(d, "a:0", s))[0] for d, s in ((source, ".ts"), (out, ".mp4")))
    assert abs((src_audio - src_t[0]) - (got_audio - got_t[0])) < 0.001
    thumbnail = _plexo.extract_thumbnail_from_ts(lost_first_parameter_sets(source, how))
    assert mt.decode_errors(thumbnail, ".h264") == ""
    assert mt.framemd5(thumbnail, "0:v:0", ".h264") == [mt.framemd5(source, "0:v:0", ".ts")[second_key]]
