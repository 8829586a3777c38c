"""The picture size written to the track comes from the stream's first SPS: macroblock counts,
frame or field coding, and cropping in the units the chroma format and field coding use."""
import struct

import pytest

import _plexo
from builders import box_payload, packetize, pat, pes, pmt, sps_nal

PPS = b"\x68\xce\x3c\x80"
IDR = b"\x65\x88\x84\x00\x20"


def stream(*parameter_sets: bytes) -> bytes:
    es = b"".join(b"\x00\x00\x00\x01" + unit for unit in (*parameter_sets, PPS, IDR))
    video = pes(b"\x00\x00\x00\x01\x09\xf0" + es, pts=90000, dts=90000)
    return pat() + pmt([(0x1B, 256), (0x0F, 257)]) + b"".join(packetize(256, video))


def picture_size(ts: bytes) -> tuple[tuple[int, int], tuple[int, int]]:
    """(tkhd width, height) and (avc1 width, height) of the converted file."""
    out = _plexo.convert_ts_to_mp4(ts)
    tkhd = box_payload(out, "moov/trak/tkhd")
    avc1 = box_payload(out, "moov/trak/mdia/minf/stbl/stsd/avc1")
    return (struct.unpack(">I", tkhd[-8:-4])[0] >> 16, struct.unpack(">I", tkhd[-4:])[0] >> 16), \
        struct.unpack(">HH", avc1[24:28])


@pytest.mark.parametrize("unit, size", [
    (sps_nal(119, 67, crop=(0, 0, 0, 4), profile=100), (1920, 1080)),       # 1088 coded, 8 lines cropped
    (sps_nal(79, 44), (1280, 720)),                                          # baseline: no chroma fields
    (sps_nal(119, 33, frame_mbs_only=0), (1920, 1088)),                      # field pairs, no cropping
    (sps_nal(119, 33, frame_mbs_only=0, crop=(0, 0, 0, 2), profile=100), (1920, 1080)),  # crop unit 4 lines
    (sps_nal(19, 7, frame_mbs_only=0, crop=(0, 0, 0, 4)), (320, 240)),       # 256 coded, 16 lines cropped
    (sps_nal(39, 29, crop=(2, 2, 0, 0), profile=244, chroma_format_idc=3), (636, 480)),  # 4:4:4: unit 1
    (sps_nal(44, 35, poc_type=2, crop=(0, 4, 0, 6)), (712, 564)),
], ids=["1080p", "720p-baseline", "interlaced", "1080i-cropped", "240i-cropped", "444", "poc2"])
def test_size_from_sps(unit, size):
    assert picture_size(stream(unit)) == (size, size)


def test_an_sps_cut_before_its_size_fields_is_not_the_streams():
    truncated = sps_nal(79, 44)[:5]
    with pytest.raises(ValueError, match="^No H.264 parameter sets found$"):
        _plexo.convert_ts_to_mp4(stream(truncated))
    # A readable one after it describes the stream.
    assert picture_size(stream(truncated, sps_nal(39, 29))) == ((640, 480), (640, 480))


def test_only_the_first_sps_counts():
    assert picture_size(stream(sps_nal(79, 44), sps_nal(39, 29))) == ((1280, 720), (1280, 720))


def test_emulation_prevention_bytes_are_not_read_as_fields():
    # A width code long enough to hold two zero bytes makes the encoder insert 00 00 03.
    unit = sps_nal((1 << 23) + 39, 29)
    assert b"\x00\x00\x03" in unit
    assert picture_size(stream(unit))[0] == (((1 << 23) + 40) * 16 % 65536, 480)


@pytest.mark.parametrize("name", ["ts_bframes.ts", "ts_1080p.ts", "ts_interlaced.ts", "ts_192.m2ts"])
def test_real_streams_keep_their_size(name, fixture_bytes, ffprobe):
    from media_tools import streams
    source = fixture_bytes(name)
    expected = next(s for s in streams(source, ".ts") if s["codec_type"] == "video")
    written = picture_size(source)
    assert written == ((expected["width"], expected["height"]),) * 2
